// Overflows a local array on purpose, built with the command's hardening, to show what the
// command's stack protection does.
//   smash         copies 40 bytes into an 8-byte local array; prints "survived" if that returns
//   smash guard   prints the canary as this run seeded it
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" std::uintptr_t __stack_chk_guard;

namespace {

__attribute__((noinline)) void overflow(const char *text, std::size_t length)
{
    char buffer[8];
    std::memcpy(buffer, text, length);
#if defined(__clang__)
    // clang (the ARM64 build's) sees that a copy past the array's end cannot happen in a valid
    // program and would keep only a byte that is read: the array must be seen written in full.
    // Nothing is printed, so the output shows only what happens on the way out.
    asm volatile("" : : "r"(buffer) : "memory");
#else
    std::printf("%c\n", buffer[0]);
#endif
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "guard") == 0) {
        std::printf("%016llx\n", static_cast<unsigned long long>(__stack_chk_guard));
        return 0;
    }
    static const char text[64] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN";
    volatile std::size_t length = 40;
    overflow(text, length);
    std::puts("survived");
    return 0;
}
