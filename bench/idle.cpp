// idle: a program that does nothing, built and linked like the tool, so that
// its peak resident memory is the baseline the tool's memory is measured
// against.
int main() { return 0; }
