#include "analysis/scanner.h"

#include <memory>
#include <string>

#include "analysis/capture.h"
#include "analysis/pid_stats.h"
#include "platform/platform.h"
#include "ts/qbx.h"
#include "util/output.h"

namespace varnek {

namespace {

// The six steps of one packet; the cheap tests stand here so that the
// common packet (no table, no clock, no new PID) costs a few compares.
inline __attribute__((always_inline)) void analyse(ScanState& state, const uint8_t* packet,
                                                   uint64_t offset, const RunOptions& options) {
    uint16_t key = packet_key(packet);
    unsigned row = count_packet(state, packet, key, offset, options);
    if (key == info_pid_key)
        capture_qbx(state, packet, offset, options);
    else if (state.head_run == HeadRun::open)
        state.head_run = HeadRun::closed;  // something else stands behind the receiver's packets
    // Key 0 is PID 0: QBX packets have a key of their own.
    if (key == 0 && !state.stored_pat) capture_pat(state, packet, offset, options);
    if (has_pcr(packet)) track_pcr(state, packet, row, options);
    if (packet[0] == sync_byte && has_pusi(packet) && has_payload_bit(packet)) {
        track_pes(state, packet, row, options);
        capture_pmt(state, packet, offset, options);
    }
}

}  // namespace

void analyse_packet(ScanState& state, const uint8_t* packet, uint64_t offset, const RunOptions& options) {
    analyse(state, packet, offset, options);
}

namespace {

void progress_text(const RunOptions& options, const char* text) {
    if (!options.progress) return;
    std::fputs(text, console().out);
    std::fflush(console().out);
}

// One part file, read block by block. With -all a regular file is read
// through a small window of a mapping that moves along it (no copy, and the
// memory stays that of the window whatever the file's size); else, and
// wherever mapping fails, through the stream into the buffer. Both give the
// same blocks, positions and short reads.
struct PartReader {
    std::FILE* file;
    uint8_t* buffer;
    bool mapped = false;
    uint64_t size = 0;      // of the file when mapped reading began
    uint64_t position = 0;  // with a mapping: the position a stream would have
    FileMapping window;
};

constexpr uint64_t window_bytes = 1 << 20;

void open_reader(PartReader& reader, const RunOptions& options) {
    if (!options.all_packets) return;
    int64_t size = file_size(reader.file);
    reader.mapped = size > 0;  // pipes and devices show no size; mapping a directory fails
    reader.size = reader.mapped ? uint64_t(size) : 0;
    clear_lost_pages();
    if (!reader.mapped) advise_sequential(reader.file);
}

// Stops using the mapping and goes on reading the stream at the same place.
void leave_mapping(PartReader& reader) {
    unmap_window(reader.window);
    reader.mapped = false;
    seek_file(reader.file, int64_t(reader.position), SEEK_SET);
}

void close_reader(PartReader& reader) { unmap_window(reader.window); }

int64_t reader_tell(const PartReader& reader) {
    return reader.mapped ? int64_t(reader.position) : tell_file(reader.file);
}

// Fails, leaving the position as it was, when it would fall before offset 0.
void reader_seek(PartReader& reader, int64_t offset, int whence) {
    if (!reader.mapped) {
        seek_file(reader.file, offset, whence);
        return;
    }
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? int64_t(reader.position) : file_size(reader.file);
    if (base < 0 || base + offset < 0) return;
    reader.position = uint64_t(base + offset);
}

// Moves the window so that it holds bytes [from, from + count).
bool cover(PartReader& reader, uint64_t from, uint64_t count) {
    const FileMapping& w = reader.window;
    if (w.data && from >= w.offset && from + count <= w.offset + w.length) return true;
    unmap_window(reader.window);
    uint64_t start = from - from % page_size();
    uint64_t length = from + count - start > window_bytes ? from + count - start : window_bytes;
    if (length > reader.size - start) length = reader.size - start;
    return map_window(reader.file, start, length, true, reader.window);
}

size_t read_block(PartReader& reader, const uint8_t*& data) {
    if (reader.mapped) {
        if (mapping_lost_pages()) return 0;  // the file was cut short under the scan
        uint64_t left = reader.position < reader.size ? reader.size - reader.position : 0;
        uint64_t count = left < block_bytes ? left : block_bytes;
        // A short block: the file may have changed size since reading began.
        if (count < block_bytes && file_size(reader.file) != int64_t(reader.size))
            leave_mapping(reader);
        else if (count == 0)
            return 0;
        else if (!cover(reader, reader.position, count))
            leave_mapping(reader);
        else {
            data = reader.window.data + (reader.position - reader.window.offset);
            reader.position += count;
            return size_t(count);
        }
    }
    data = reader.buffer;
    return std::fread(reader.buffer, 1, block_bytes, reader.file);
}

// Analyses the synchronised packets of one block; returns k, the bytes the
// last packet position lies beyond the analysed part (non-zero only after a
// resync inside the block). mapped_file: the file when the block lies in its
// mapping, else null.
uint64_t scan_block(ScanState& state, const uint8_t* block, uint64_t count, uint64_t block_offset,
                    const RunOptions& options, std::FILE* mapped_file) {
    const uint64_t m = (count - 3) * packet_size;
    constexpr uint64_t prefetch_ahead = 32 * packet_size;
    uint64_t pos = 0;
    // After a packet passed the test, the next one's first two sync bytes
    // are known good: only the third needs a look.
    bool two_known = false;
    while (pos < m) {
        // The blocks of a mapping come from memory, not from a cache that a
        // copy has just filled: ask for the bytes a few packets ahead.
        if (pos + prefetch_ahead < m) __builtin_prefetch(block + pos + prefetch_ahead);
        if (!(two_known || (block[pos] == sync_byte && block[pos + 188] == sync_byte)) ||
            block[pos + 376] != sync_byte) {
            two_known = false;
            // Zeros where a mapped file was cut short are the end of the data, not a sync loss.
            if (mapping_lost_pages()) return 0;
            if (state.in_sync) {
                // So are those behind the new end in its last page, which raise no fault.
                if (mapped_file && file_size(mapped_file) <= int64_t(block_offset + pos + 2 * packet_size))
                    return 0;
                std::fprintf(console().err, "\nSync lost at %08llX",
                             static_cast<unsigned long long>(block_offset + pos));
                state.in_sync = false;
            }
            ++pos;
            continue;
        }
        if (!state.in_sync) {
            std::fprintf(console().err, " ==> ReSync at %08llX\n",
                         static_cast<unsigned long long>(block_offset + pos));
            state.in_sync = true;
        }
        analyse(state, block + pos, block_offset + pos, options);
        pos += packet_size;
        two_known = true;
    }
    return pos - m;
}

void scan_part(std::FILE* file, const char* part_name, const RunOptions& options, ScanState& state,
               uint8_t* buffer) {
    state.head_pass = true;
    state.seen_pcr = false;
    state.seen_pes = false;
    state.in_sync = true;
    if (options.progress) std::fprintf(console().out, "Analyse: '%s' BEG", part_name);
    std::fflush(console().out);
    PartReader reader{file, buffer, false, 0, 0, FileMapping{}};
    open_reader(reader, options);

    for (;;) {
        int64_t before = reader_tell(reader);
        const uint8_t* block = nullptr;
        size_t bytes = read_block(reader, block);
        uint64_t count = bytes / packet_size;
        if (count <= 3) break;
        // The block starts where the read began; a short read also moves over
        // a trailing partial packet, so the position after it would mislead.
        uint64_t block_offset = before < 0 ? 0 : uint64_t(before);
        state.block_end_position = block_offset + bytes;
        uint64_t k = scan_block(state, block, count, block_offset, options, reader.mapped ? file : nullptr);

        const char* next_marker = ".";
        if (options.all_packets) {
            if (k != 0) reader_seek(reader, int64_t(k), SEEK_CUR);
        } else if (state.head_pass) {
            if (state.stored_pmt && state.seen_pcr && state.seen_pes) {
                progress_text(options, ".SEEK.");
                std::fflush(console().out);
                // Fails on a file shorter than a block: the position stays at its end.
                reader_seek(reader, -int64_t(block_bytes), SEEK_END);
                state.head_pass = false;
                state.seen_pcr = false;
                state.seen_pes = false;
                continue;
            }
            if (k != 0) reader_seek(reader, int64_t(k), SEEK_CUR);
        } else if (state.seen_pcr && state.seen_pes) {
            reader_seek(reader, 0, SEEK_END);
            next_marker = "END";
        } else {
            int64_t back = int64_t(2 * block_bytes + k);
            // A step back before the file's start would never end the pass:
            // the part file is finished instead.
            if (reader_tell(reader) < back)
                reader_seek(reader, 0, SEEK_END);
            else
                reader_seek(reader, -back, SEEK_CUR);
        }
        progress_text(options, next_marker);
    }
    close_reader(reader);
    std::fclose(file);
    progress_text(options, " done\n");
}

}  // namespace

void scan_recording(const char* name, std::FILE* first_file, const RunOptions& options, ScanState& state) {
    // One reused block buffer for the whole recording.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[block_bytes]);
    std::string part_name = name;
    std::FILE* file = first_file;
    for (unsigned part = 0;; ++part) {
        state.current_part = part;
        FileId id;
        if (file_id_of_stream(file, id)) state.part_ids.push_back(id);
        scan_part(file, part_name.c_str(), options, state, buffer.get());
        part_name = part_file_name(name, part + 1);
        file = open_for_reading(part_name.c_str());
        if (!file) break;
    }
}

}  // namespace varnek
