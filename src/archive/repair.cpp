// Repairing an archive: entries are copied into a fresh working copy until
// the first one whose block fails its CRC-32; the archive is cut there. A
// file without a sound first entry is refused whole.
#include <cstdio>

#include "archive/archive.h"
#include "archive/format.h"

namespace pelko {

namespace {

// The format has no magic number, so only the first entry can tell an
// archive from any other file: this system leads every entry it writes with
// 0x01, and cutting at a first block that fails its check would keep nothing
// anyway. True for the one-byte empty archive and for a file whose first
// entry is led by 0x01 and has a whole block that passes its check.
bool hasSoundStart(std::FILE* in) {
    bool sound = false;
    WalkEnd end = walkEntries(in, Fields::All, [&](EntryHead& e) {
        uint32_t crc;
        sound = e.lead == kEntryLead && copyBlock(in, nullptr, e.block_len, crc) && crc == e.crc;
        return Visit::Stop;
    });
    if (end == WalkEnd::EndMarker) return std::getc(in) == EOF;
    return sound;
}

}  // namespace

std::optional<WorkingCopy> archMakeTempAndFix(HeldArchive& archive) {
    FilePtr in = os::streamOf(archive.file, "rb");
    if (!in) return std::nullopt;
    // Decided before any working copy exists, so a refusal leaves nothing
    // behind.
    bool sound = hasSoundStart(in.get());
    // A file that cannot be read gets no verdict, only the failure.
    if (std::ferror(in.get())) return std::nullopt;
    if (!sound) {
        std::printf("Warning: \"%s\" - no sound entry to keep, archive left unchanged.\n",
                    archive.path.c_str());
        return std::nullopt;
    }
    if (!os::seek(in.get(), 0, SEEK_SET)) return std::nullopt;
    std::optional<WorkingCopy> wc = os::createWorkingCopy(archive);
    if (!wc) return std::nullopt;
    FilePtr stream = os::streamOf(wc->file, "wb");
    if (!stream) return std::nullopt;
    std::FILE* out = stream.get();
    WalkEnd end = walkEntries(in.get(), Fields::All, [&](EntryHead& e) {
        // The entry is written while its block is checked; a block that
        // fails, or cannot be read whole, is cut off again.
        uint32_t crc;
        std::optional<uint64_t> entry_start = os::tell(out);
        if (!entry_start || !writeEntryHead(out, e)) return Visit::Fail;
        bool read = copyBlock(in.get(), out, e.block_len, crc);
        if (read && crc == e.crc) return Visit::Next;
        if (!os::truncate(out, *entry_start)) return Visit::Fail;
        if (!read) return Visit::Fail;
        std::printf("Fixed: find a error on file \"%s\", delete the rest of archive.\n",
                    e.name.c_str());
        return Visit::Stop;
    });
    if (end == WalkEnd::Truncated || end == WalkEnd::Failed) return std::nullopt;
    if (std::fputc(kEndMarker, out) == EOF || !closeFile(stream)) return std::nullopt;
    closeFile(in);
    return wc;
}

}  // namespace pelko
