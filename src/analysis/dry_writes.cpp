#include "analysis/dry_writes.h"

namespace varnek {

namespace {

bool same_file(const FileId& a, const FileId& b) { return a.device == b.device && a.inode == b.inode; }

}  // namespace

void note_dry_update(DryWrites& writes, const FileId& id, uint64_t offset, const uint8_t* bytes, size_t count) {
    DryFile* file = nullptr;
    for (DryFile& f : writes.updated)
        if (same_file(f.id, id)) file = &f;
    if (!file) {
        writes.updated.push_back(DryFile{id, {}});
        file = &writes.updated.back();
    }
    file->patches.push_back(DryPatch{offset, std::vector<uint8_t>(bytes, bytes + count)});
}

const DryFile* dry_updates_of(const DryWrites* writes, const FileId& id) {
    if (!writes) return nullptr;
    for (const DryFile& f : writes->updated)
        if (same_file(f.id, id)) return &f;
    return nullptr;
}

void note_dry_whole(DryWrites& writes, const std::string& resolved, const uint8_t* bytes, size_t count) {
    writes.whole[resolved].assign(bytes, bytes + count);
}

const std::vector<uint8_t>* dry_whole_file(const DryWrites* writes, const std::string& resolved) {
    if (!writes) return nullptr;
    auto at = writes->whole.find(resolved);
    return at == writes->whole.end() ? nullptr : &at->second;
}

void lay_over(const DryFile& file, uint64_t offset, uint8_t* buffer, size_t count) {
    const uint64_t end = offset + count;
    for (const DryPatch& p : file.patches) {
        const uint64_t from = p.offset > offset ? p.offset : offset;
        const uint64_t to = p.offset + p.bytes.size() < end ? p.offset + p.bytes.size() : end;
        for (uint64_t at = from; at < to; ++at) buffer[at - offset] = p.bytes[at - p.offset];
    }
}

}  // namespace varnek
