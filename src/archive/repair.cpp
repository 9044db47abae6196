// Repairing an archive: entries are copied into a fresh working copy until
// the first one whose block fails its CRC-32; the archive is cut there.
#include <cstdio>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/working_copy.h"

namespace pelko {

std::optional<std::string> archMakeTempAndFix(const std::string& archive) {
    FilePtr in = openFile(archive, "rb");
    if (!in) return std::nullopt;
    std::optional<WorkingCopy> wc = createWorkingCopy(archive);
    if (!wc) return std::nullopt;
    std::FILE* out = wc->file.get();
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
    if (std::fputc(kEndMarker, out) == EOF || !closeFile(wc->file)) return std::nullopt;
    closeFile(in);
    return std::move(wc->name);
}

}  // namespace pelko
