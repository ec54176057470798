// read-floor: the least a full scan of a recording can cost. Reads the file
// with stdio in blocks of 1000 packets (188,000 bytes, as the tool does) and
// checks the sync byte of every whole packet. Prints the packet count and
// the number of bad sync bytes, so that the check cannot be left out.
//
//   read-floor <file>
#include <cstdint>
#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: read-floor <file>\n");
        return 2;
    }
    std::FILE* f = std::fopen(argv[1], "rb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    constexpr size_t packet = 188;
    constexpr size_t block = 1000 * packet;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[block]);
    uint64_t packets = 0, bad = 0;
    for (;;) {
        size_t got = std::fread(buffer.get(), 1, block, f);
        size_t whole = got / packet;
        for (size_t i = 0; i < whole; ++i) bad += buffer[i * packet] != 0x47;
        packets += whole;
        if (got < block) break;
    }
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    std::printf("%llu packets, %llu bad sync bytes\n", static_cast<unsigned long long>(packets),
                static_cast<unsigned long long>(bad));
    return failed ? 1 : 0;
}
