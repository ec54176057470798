#include "cli/run.h"

int main(int argc, char** argv) { return varnek::run(argc, argv); }
