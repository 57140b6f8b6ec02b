// The baseline for `make bench`: a console .exe that does nothing, built by the same toolchain
// with the same image settings, so that the benchmark measures what the command adds to a start.
int main()
{
    return 0;
}
