// Listing an archive: entry names with their block lengths, then totals.
#include <cinttypes>

#include "archive/archive.h"
#include "archive/format.h"

namespace pelko {

int archPrintToScreen(const std::string& archive) {
    FilePtr f = openFile(archive, "rb");
    if (!f) return 1;
    std::printf("Archive \"%s\" contain:\n\n", archive.c_str());
    uint64_t count = 0, total = 0;
    WalkEnd end = walkEntries(f.get(), Fields::LengthOnly, [&](EntryHead& e) {
        std::printf(" \"%s\" : %" PRIu32 "\n", e.name.c_str(), e.block_len);
        ++count;
        total += e.block_len;
        return Visit::Next;
    });
    if (end != WalkEnd::EndMarker) return 1;
    std::printf("\nCompressing data: %" PRIu64 "\n", total);
    std::printf("Count of files: %" PRIu64 "\n", count);
    return 0;
}

}  // namespace pelko
