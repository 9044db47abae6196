// Name screening: turns away file names that equal the archive's own name,
// repeat an earlier name, or (when adding) are already stored. Hash maps keep
// it linear in the number of names while the warnings come out in the order
// of a plain pairwise scan.
#include <cstdio>
#include <unordered_map>

#include "archive/archive.h"
#include "archive/format.h"
#include "os/os.h"

namespace pelko {

void screenNames(NameList& names, const std::function<bool(const std::string&)>& isArchive) {
    std::unordered_map<std::string, std::vector<size_t>> copies;
    for (size_t i = 1; i < names.size(); ++i) copies[names[i]].push_back(i);
    for (size_t i = 1; i < names.size(); ++i) {
        if (names[i] == kRejectedName) continue;
        if (names[i] == names[0] || (isArchive && isArchive(names[i]))) {
            std::printf("Warning: \"%s\" - bad name, couldn't use for compress itself.\n",
                        names[0].c_str());
            names[i] = kRejectedName;
            continue;
        }
        // names[i] is the first kept copy: every later copy goes.
        for (size_t k : copies[names[i]]) {
            if (k <= i) continue;
            std::printf("Warning: \"%s\" - two identical name.\n", names[i].c_str());
            names[k] = kRejectedName;
        }
    }
}

int archCheckFileNames(const HeldArchive& archive, WorkingCopy& temp, NameList& names,
                       uint64_t* end_pos) {
    // Another name for the archive's file (through "." or "..", a link), or
    // for the working copy, would store the archive inside itself.
    using Id = std::pair<uint64_t, uint64_t>;
    auto idOf = [](const std::optional<os::FileInfo>& info) -> std::optional<Id> {
        if (!info) return std::nullopt;
        return Id(info->device, info->inode);
    };
    const auto archiveId = idOf(archive.locked), copy = idOf(os::fileInfo(temp.file));
    screenNames(names, [&](const std::string& name) {
        const auto id = (archiveId || copy) ? idOf(os::pathInfo(name)) : std::nullopt;
        return id && (id == archiveId || id == copy);
    });
    std::unordered_map<std::string, size_t> kept;
    for (size_t k = 1; k < names.size(); ++k)
        if (names[k] != kRejectedName) kept.emplace(names[k], k);
    FilePtr f = os::streamOf(temp.file, "rb");
    if (!f) return 1;
    // A name is screened as soon as it is read: an archive cut short in the
    // fields after it still gives the warning for it.
    WalkEnd end = walkEntries(
        f.get(), Fields::NameFirst,
        [&](EntryHead& e) {
            auto it = kept.find(e.name);
            if (it != kept.end()) {
                std::printf(
                    "Warning: \"%s\" - bad name, archive already contain file with this name\n",
                    e.name.c_str());
                names[it->second] = kRejectedName;
                kept.erase(it);
            }
            return Visit::Next;
        },
        end_pos);
    if (end != WalkEnd::EndMarker) return 1;
    // Without a magic number, a file whose first end marker is not its last
    // byte may be anything (a video whose first byte is 0, an archive whose
    // lead byte was damaged to 0): it is not taken for an archive.
    if (std::getc(f.get()) != EOF) return 1;
    return closeFile(f) ? 0 : 1;
}

}  // namespace pelko
