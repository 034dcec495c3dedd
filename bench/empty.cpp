// Reference program for the benchmark: what starting and ending a process
// built by this toolchain costs when it does nothing at all.
int main() {
    return 0;
}
