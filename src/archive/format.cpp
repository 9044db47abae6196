// Field I/O and the shared entry walk.
#include "archive/format.h"

#include <algorithm>
#include <new>

#include "archive/crc32.h"
#include "codec/byte_order.h"

namespace pelko {

bool closeFile(FilePtr& f) {
    if (!f) return false;
    return std::fclose(f.release()) == 0;
}

int writeULong(uint32_t value, std::FILE* f) {
    uint8_t bytes[kFieldBytes];
    storeLE32(bytes, value);
    for (uint8_t b : bytes)
        if (std::fputc(b, f) == EOF) return 1;
    return 0;
}

bool readLE32(std::FILE* f, uint32_t& value) {
    uint8_t bytes[kFieldBytes];
    for (uint8_t& b : bytes) {
        int c = std::getc(f);
        if (c == EOF) return false;
        b = uint8_t(c);
    }
    value = loadLE32(bytes);
    return true;
}

// Reads a NUL-terminated name; a name that reaches the buffer size without a
// NUL counts as a short read.
static bool readName(std::FILE* f, std::string& name) {
    name.clear();
    for (;;) {
        int c = std::getc(f);
        if (c == EOF) return false;
        if (c == 0) return true;
        if (name.size() + 1 >= kNameBufferSize) return false;
        name.push_back(char(c));
    }
}

// Skips `n` bytes of the stream. A short run is read through the stream's
// buffer, where it mostly lies already: a seek costs a system call even when
// it lands inside the buffer, and archives of many small files have one run
// per entry. A short read here and a seek past the end both end the walk at
// its next read.
static bool skip(std::FILE* f, uint64_t n) {
    constexpr uint64_t kReadThrough = 1 << 14;
    if (n > kReadThrough) return os::seek(f, int64_t(n), SEEK_CUR);
    uint8_t buf[kReadThrough];
    return std::fread(buf, 1, size_t(n), f) == n;
}

WalkEnd walkEntries(std::FILE* f, Fields fields, const std::function<Visit(EntryHead&)>& visit,
                    uint64_t* end_pos) {
    EntryHead e;
    uint64_t pos = 0;
    for (;;) {
        int lead = std::getc(f);
        if (lead == EOF) return WalkEnd::Truncated;
        if (lead == kEndMarker) {
            if (end_pos) *end_pos = pos + 1;
            return WalkEnd::EndMarker;
        }
        e.lead = uint8_t(lead);
        if (!readName(f, e.name)) return WalkEnd::Truncated;
        e.offset = entryOffset(pos, e.name.size());
        e.block_len = 0;
        Visit v = fields == Fields::NameFirst ? visit(e) : Visit::Next;
        if (v == Visit::Stop) return WalkEnd::Stopped;
        if (v == Visit::Fail) return WalkEnd::Failed;
        if (!readLE32(f, e.block_len)) return WalkEnd::Truncated;
        if (fields == Fields::All) {
            if (!readLE32(f, e.ctime) || !readLE32(f, e.mtime) || !readLE32(f, e.crc))
                return WalkEnd::Truncated;
        }
        if (fields != Fields::NameFirst) v = visit(e);
        if (v == Visit::Stop) return WalkEnd::Stopped;
        if (v == Visit::Fail) return WalkEnd::Failed;
        if (fields != Fields::All && !skip(f, e.block_len + kEntryFieldBytes - kFieldBytes))
            return WalkEnd::Truncated;
        pos = e.nextPos();
    }
}

bool writeEntryHead(std::FILE* out, const EntryHead& e) {
    return std::fputc(e.lead, out) != EOF &&
           std::fwrite(e.name.c_str(), 1, e.name.size() + 1, out) == e.name.size() + 1 &&
           writeULong(e.block_len, out) == 0 && writeULong(e.ctime, out) == 0 &&
           writeULong(e.mtime, out) == 0 && writeULong(e.crc, out) == 0;
}

bool copyBlock(std::FILE* in, std::FILE* out, uint64_t len, uint32_t& crc) {
    static constexpr size_t kChunk = 1 << 16;
    std::vector<uint8_t> buf;
    try {
        buf.resize(size_t(std::min<uint64_t>(len, kChunk)));
    } catch (const std::bad_alloc&) {
        return false;
    }
    crc = 0;
    while (len > 0) {
        size_t n = size_t(std::min<uint64_t>(len, kChunk));
        if (std::fread(buf.data(), 1, n, in) != n) return false;
        crc = crc32Update(crc, buf.data(), n);
        if (out && std::fwrite(buf.data(), 1, n, out) != n) return false;
        len -= n;
    }
    return true;
}

}  // namespace pelko
