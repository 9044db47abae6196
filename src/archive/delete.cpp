// Deleting entries: the archive is streamed entry by entry into a fresh
// working copy, carrying every kept entry over byte for byte.
#include <unordered_set>

#include "archive/archive.h"
#include "archive/format.h"

namespace pelko {

std::optional<WorkingCopy> archDeleteFiles(HeldArchive& archive, const NameList& names) {
    try {
        FilePtr in = os::streamOf(archive.file, "rb");
        if (!in) return std::nullopt;
        std::optional<WorkingCopy> wc = os::createWorkingCopy(archive);
        if (!wc) return std::nullopt;
        FilePtr stream = os::streamOf(wc->file, "wb");
        if (!stream) return std::nullopt;
        std::unordered_set<std::string> doomed(names.begin() + 1, names.end());
        std::FILE* out = stream.get();
        WalkEnd end = walkEntries(in.get(), Fields::All, [&](EntryHead& e) {
            if (doomed.count(e.name))
                return os::seek(in.get(), e.block_len, SEEK_CUR) ? Visit::Next : Visit::Fail;
            uint32_t crc;
            return writeEntryHead(out, e) && copyBlock(in.get(), out, e.block_len, crc)
                       ? Visit::Next
                       : Visit::Fail;
        });
        if (end != WalkEnd::EndMarker || std::fputc(kEndMarker, out) == EOF || !closeFile(in) ||
            !closeFile(stream))
            return std::nullopt;
        return wc;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace pelko
