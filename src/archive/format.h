// The archive format and its field I/O: the LE32 writer and reader over
// buffered streams, bounded block copying, and the one entry walk every
// reader shares.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "os/os.h"

namespace pelko {

using os::FilePtr;

// fopen with a larger buffer; null on failure.
inline FilePtr openFile(const std::string& path, const char* mode) {
    return os::openStream(path, mode);
}
// Closes explicitly so that a failed flush or close is seen; true on success.
bool closeFile(FilePtr& f);

// Writes `value` as four bytes, least significant first; 0 on success, 1 at
// the first byte that cannot be written.
int writeULong(uint32_t value, std::FILE* f);
// Reads four bytes as an LE32 value; false on a short read.
bool readLE32(std::FILE* f, uint32_t& value);

// An archive is a run of entries ended by the end marker. An entry is its
// lead byte, the stored name with its NUL, four LE32 fields (block length,
// creation time, modification time, CRC-32 of the block), then the block.
constexpr uint8_t kEndMarker = 0;
constexpr uint8_t kEntryLead = 1;  // what adding writes; any non-zero byte leads an entry
constexpr uint64_t kFieldBytes = 4;
constexpr uint64_t kEntryFieldBytes = 4 * kFieldBytes;
// From the block-length field (the entry offset) to the CRC-32 field.
constexpr uint64_t kCrcFieldOffset = 3 * kFieldBytes;
// Stored names are shorter than this, NUL included in the limit.
constexpr size_t kNameBufferSize = 1024;
// The entry offset of an entry whose lead byte is at `pos`.
constexpr uint64_t entryOffset(uint64_t pos, size_t name_size) {
    return pos + 1 + name_size + 1;
}
// The rejected-name marker put in place of names screening turns away.
inline const std::string kRejectedName = "__warning__";

// The header of one entry as the walk read it.
struct EntryHead {
    uint8_t lead = 0;
    std::string name;
    uint64_t offset = 0;  // entry offset: position of the block-length field
    uint32_t block_len = 0;
    uint32_t ctime = 0, mtime = 0, crc = 0;  // read only with Fields::All
    uint64_t nextPos() const { return offset + kEntryFieldBytes + block_len; }
};

enum class Fields {
    LengthOnly,  // name and block length; the walk seeks over the rest
    NameFirst,   // as LengthOnly, but the visitor sees the entry as soon as
                 // its name is read, before the block length (block_len 0)
    All,         // all four fields; the visitor consumes the block itself
};
enum class Visit { Next, Stop, Fail };
enum class WalkEnd {
    EndMarker,  // reached the end marker
    Truncated,  // a lead byte, name or field could not be read, or a seek failed
    Stopped,    // the visitor asked to stop
    Failed,     // the visitor failed
};

// Walks the entries of an archive open for reading at position 0. With
// Fields::All the visitor must read or skip exactly block_len bytes when it
// returns Visit::Next. `end_pos`, when given, receives the position just
// after the end marker.
WalkEnd walkEntries(std::FILE* f, Fields fields, const std::function<Visit(EntryHead&)>& visit,
                    uint64_t* end_pos = nullptr);

// Writes an entry's lead byte, name with NUL and four fields.
bool writeEntryHead(std::FILE* out, const EntryHead& e);

// Copies `len` bytes from `in` to `out` (when out is not null) through a
// bounded buffer, and returns their CRC-32 in `crc`; false on a short read or
// a failed write.
bool copyBlock(std::FILE* in, std::FILE* out, uint64_t len, uint32_t& crc);

}  // namespace pelko
