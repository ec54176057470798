#pragma once

namespace varnek {

// The whole program: parses the arguments, processes every recording and
// returns the exit code.
int run(int argc, char** argv);

}  // namespace varnek
