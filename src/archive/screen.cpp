// Name screening: turns away file names that equal the archive's own name,
// repeat an earlier name, or (when adding) are already stored. Hash maps keep
// it linear in the number of names while the warnings come out in the order
// of a plain pairwise scan.
#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "archive/archive.h"
#include "archive/format.h"
#include "os/os.h"

namespace pelko {

namespace {

std::optional<os::FileId> idOf(const std::string& path) {
    std::optional<os::FileInfo> info = os::pathInfo(path);
    if (!info) return std::nullopt;
    return info->id();
}

}  // namespace

void screenNames(NameList& names, const std::vector<os::FileId>& archive_files) {
    auto isArchive = [&](const std::string& name) {
        if (archive_files.empty()) return false;
        std::optional<os::FileId> id = idOf(name);
        return id &&
               std::find(archive_files.begin(), archive_files.end(), *id) != archive_files.end();
    };
    std::unordered_map<std::string, std::vector<size_t>> copies;
    for (size_t i = 1; i < names.size(); ++i) copies[names[i]].push_back(i);
    for (size_t i = 1; i < names.size(); ++i) {
        if (names[i] == kRejectedName) continue;
        if (names[i] == names[0] || isArchive(names[i])) {
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
    // Another name for the archive's file, or for the working copy, would
    // store the archive inside itself.
    std::vector<os::FileId> files;
    for (const std::optional<os::FileInfo>& info : {archive.locked, os::fileInfo(temp.file)})
        if (info) files.push_back(info->id());
    screenNames(names, files);
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
