// Entry offset tables: where the requested entries, or all of them, lie.
#include <cinttypes>
#include <cstdio>
#include <unordered_map>

#include "archive/archive.h"
#include "archive/format.h"

namespace pelko {

std::optional<std::vector<uint64_t>> archCreateOffsetTable(std::FILE* archive, NameList& names,
                                                           bool whole) {
    try {
        std::vector<uint64_t> table(names.size(), 0);
        // The archive's file under another name is the archive's name too.
        std::vector<os::FileId> files;
        if (std::optional<os::FileId> id = archive ? os::identity(archive) : std::nullopt)
            files.push_back(*id);
        screenNames(names, files);
        std::unordered_map<std::string, size_t> wanted;
        for (size_t j = 1; j < names.size(); ++j)
            if (names[j] != kRejectedName) wanted.emplace(names[j], j);
        if (!archive) return std::nullopt;
        WalkEnd end = walkEntries(archive, Fields::LengthOnly, [&](EntryHead& e) {
            auto it = wanted.find(e.name);
            // A later entry under the same name wins.
            if (it != wanted.end()) table[it->second] = e.offset;
            return Visit::Next;
        });
        if (end != WalkEnd::EndMarker || (whole && std::getc(archive) != EOF)) return std::nullopt;
        for (size_t j = 1; j < names.size(); ++j)
            if (table[j] == 0) std::printf("File %s not found in archive", names[j].c_str());
        return table;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<std::vector<uint64_t>> archCreateOffsetTable(const std::string& archive,
                                                           NameList& names, bool whole) {
    FilePtr f = openFile(archive, "rb");
    return archCreateOffsetTable(f.get(), names, whole);
}

std::optional<AllEntries> archCreateOffsetTableForAll(std::FILE* archive) {
    try {
        AllEntries all;
        if (!archive) return std::nullopt;
        WalkEnd end = walkEntries(archive, Fields::LengthOnly, [&](EntryHead& e) {
            all.offsets.push_back(e.offset);
            all.names.push_back(e.name);
            return Visit::Next;
        });
        // An archive without entries gives no table, like a failure.
        if (end != WalkEnd::EndMarker || all.offsets.empty()) return std::nullopt;
        return all;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<AllEntries> archCreateOffsetTableForAll(const std::string& archive) {
    FilePtr f = openFile(archive, "rb");
    return archCreateOffsetTableForAll(f.get());
}

}  // namespace pelko
