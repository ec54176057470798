// Runs a fuzz target on the inputs named on the command line, once each,
// without libFuzzer: the tests replay inputs this way with any compiler.
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    for (int i = 1; i < argc; ++i) {
        std::FILE* f = std::fopen(argv[i], "rb");
        if (!f) {
            std::perror(argv[i]);
            return 1;
        }
        std::vector<uint8_t> input;
        int c;
        while ((c = std::fgetc(f)) != EOF) input.push_back(uint8_t(c));
        std::fclose(f);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    return 0;
}
