// Command flows: each runs its operations in order, prints the message that
// ends a failed run, and yields the exit status.
#include <cstdio>
#include <cstdlib>

#include "archive/archive.h"
#include "archive/format.h"
#include "os/os.h"

namespace pelko {

// Commits a working copy that an operation filled, or reports why not.
static int commit(const std::string& archive, const std::optional<std::string>& temp,
                  std::optional<uint64_t> extends = std::nullopt) {
    if (!temp) {
        std::printf("Error: Couldn't create temp archive for \"%s\"\n", archive.c_str());
        return 1;
    }
    if (archMake(archive, *temp, extends) != 0) {
        std::printf("Error: Couldn't copy temp archive \"%s\" to \"%s\"\n", temp->c_str(),
                    archive.c_str());
        return 1;
    }
    return 0;
}

int listFlow(const std::string& archive) {
    if (archPrintToScreen(archive) != 0) {
        std::printf("Error: Couldn't read archive \"%s\"\n", archive.c_str());
        return 1;
    }
    return 0;
}

// Adding, deleting and repairing hold the archive's lock from before they
// read it until after the commit, so that runs on one archive take turns
// instead of undoing each other's work.
int addFlow(NameList& names) {
    const std::string& archive = names[0];
    std::optional<os::ArchiveLock> lock = os::lockArchive(archive);
    std::optional<std::string> temp = lock ? archMakeTemp(archive) : std::nullopt;
    if (!temp) return commit(archive, temp);
    uint64_t end_pos = 0;
    if (archCheckFileNames(*temp, names, &end_pos) != 0) {
        std::printf("Error: Couldn't validation file names\n");
        return 1;
    }
    Workers team(threadCount(std::getenv("PELKO_THREADS")));
    size_t failed = 0;
    if (archAddFiles(*temp, names, failed, team) != 0) {
        std::printf("Error: Couldn't add file \"%s\"\n", names[failed].c_str());
        return 1;
    }
    return commit(archive, temp, end_pos);
}

static int noTable() {
    std::printf("Error: Couldn't create offset table for files.\n");
    return 1;
}

// A run that wrote a file from a block that failed its CRC ends as failed,
// after the last entry, so that no script takes corrupted output for a
// good copy. A hard failure ends the run earlier with its own message.
static int extracted(bool intact) {
    if (intact) return 0;
    std::printf("Error: Couldn't extract every file intact\n");
    return 1;
}

// The extract flows open the archive once and read the table and every entry
// through that one descriptor, so a run reads one version of the archive even
// while another run replaces it.
int extractAllFlow(const std::string& archive) {
    FilePtr f = openFile(archive, "rb");
    std::optional<AllEntries> all = archCreateOffsetTableForAll(f.get());
    if (!all) return noTable();
    Workers team(threadCount(std::getenv("PELKO_THREADS")));
    size_t failed = 0;
    bool intact = true;
    if (archExtractFiles(f.get(), all->names, all->offsets, failed, intact, team) != 0) {
        std::printf("Error: Couldn't extract file \"%s\"\n", all->names[failed].c_str());
        return 1;
    }
    return extracted(intact);
}

int extractFlow(NameList& names) {
    FilePtr f = openFile(names[0], "rb");
    std::optional<std::vector<uint64_t>> table = archCreateOffsetTable(f.get(), names);
    if (!table) return noTable();
    // Slot j of the table belongs to names[j]; entry 0 is the archive.
    const std::vector<std::string> files(names.begin() + 1, names.end());
    const std::vector<uint64_t> offsets(table->begin() + 1, table->end());
    Workers team(threadCount(std::getenv("PELKO_THREADS")));
    size_t failed = 0;
    bool intact = true;
    if (archExtractFiles(f.get(), files, offsets, failed, intact, team) != 0) {
        std::printf("Error: Couldn't extract file \"%s\"\n", files[failed].c_str());
        return 1;
    }
    return extracted(intact);
}

int deleteFlow(NameList& names) {
    std::optional<os::ArchiveLock> lock = os::lockArchive(names[0]);
    if (!lock || !archCreateOffsetTable(names[0], names, true)) return noTable();
    return commit(names[0], archDeleteFiles(names[0], names));
}

int fixFlow(const std::string& archive) {
    std::optional<os::ArchiveLock> lock = os::lockArchive(archive);
    return commit(archive, lock ? archMakeTempAndFix(archive) : std::nullopt);
}

}  // namespace pelko
