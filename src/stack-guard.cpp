// Stack protection without the toolchain's libssp.
//
// With -fstack-protector-strong, GCC puts a canary, __stack_chk_guard, below the saved return
// address of every function that holds a local array, and calls __stack_chk_fail on the way out
// when it has changed. libssp, which normally supplies both, seeds the canary through
// CryptAcquireContext before main: that loads the crypto provider and half a dozen DLLs into every
// start of a command that runs in a second, and puts them in a process that people run elevated.
// This file supplies both symbols instead, from kernel32 alone, seeded as the platform's own
// compilers seed their security cookie: from values that differ between runs and between
// machines (time, process and thread IDs, the performance counter, and where ASLR placed the
// stack). It guards against an overflow rewriting the return address, not against an attacker
// who can already read the process's memory.

#include <windows.h>

#include <cstdint>

namespace {

// Stands in the canary only until the constructor below runs, before main.
const std::uintptr_t placeholderGuard = 0x2B992DDFA232;
const unsigned highHalf = 32;
// Moves the performance counter's fast-changing low bits to where the time's are slow.
const unsigned counterShift = 24;
const std::uintptr_t lowByte = 0xFF;

}  // namespace

// GCC's names for the two, which therefore must be these reserved identifiers.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {

std::uintptr_t __stack_chk_guard = placeholderGuard;

// A smashed stack means nothing in the process can be trusted, the C runtime included: end at
// once, with the status the platform uses for exactly this.
[[noreturn]] void __stack_chk_fail(void)
{
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    for (;;)
        Sleep(INFINITE);
}

}  // extern "C"
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

// Runs before main, as the first of the program's constructors, so no protected frame is live
// while the canary changes. It is exempt from the protection itself: its own frame would
// otherwise be checked against a canary it has just changed.
__attribute__((constructor(101), no_stack_protector)) void seedStackGuard()
{
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    std::uint64_t seed = static_cast<std::uint64_t>(time.dwHighDateTime) << highHalf;
    seed ^= time.dwLowDateTime;
    seed ^= static_cast<std::uint64_t>(GetCurrentProcessId()) << highHalf;
    seed ^= GetCurrentThreadId();
    seed ^= static_cast<std::uint64_t>(counter.QuadPart) << counterShift;
    seed ^= static_cast<std::uint64_t>(counter.QuadPart);
    seed ^= reinterpret_cast<std::uintptr_t>(&seed);
    // A zero low byte stops an overflow by a string copy at the canary's first byte.
    __stack_chk_guard = static_cast<std::uintptr_t>(seed) & ~lowByte;
}

}  // namespace
