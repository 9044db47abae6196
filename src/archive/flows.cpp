// Command flows: each runs its operations in order, prints the message that
// ends a failed run, and yields the exit status.
#include <cstdio>
#include <cstdlib>

#include "archive/archive.h"
#include "archive/format.h"
#include "os/os.h"

namespace pelko {

static int noTemp(const std::string& archive) {
    std::printf("Error: Couldn't create temp archive for \"%s\"\n", archive.c_str());
    return 1;
}

// The run's end after a commit.
static int committed(os::Commit result, const WorkingCopy& temp, const std::string& archive) {
    if (result != os::Commit::Done) {
        std::printf("Error: Couldn't copy temp archive \"%s\" to \"%s\"\n", temp.name.c_str(),
                    archive.c_str());
        return 1;
    }
    return 0;
}

// Commits a working copy that an operation filled, or reports why not.
static int commit(std::optional<HeldArchive>& archive, std::optional<WorkingCopy>& temp,
                  const std::string& name) {
    if (!archive || !temp) return noTemp(name);
    return committed(archMake(*archive, *temp), *temp, name);
}

int listFlow(const std::string& archive) {
    if (archPrintToScreen(archive) != 0) {
        std::printf("Error: Couldn't read archive \"%s\"\n", archive.c_str());
        return 1;
    }
    return 0;
}

// Adding, deleting and repairing hold the archive from before they read it
// until after the commit, so that runs on one archive take turns instead of
// undoing each other's work, and so that the commit replaces the file that
// was read. A first add locks nothing; when another file takes the new
// archive's name meanwhile, the run starts over as an add to that file, with
// the names as screened so far.
int addFlow(NameList& names) {
    const std::string archive = names[0];
    for (;;) {
        std::optional<HeldArchive> held = os::holdArchive(archive);
        std::optional<WorkingCopy> temp = held ? archMakeTemp(*held) : std::nullopt;
        if (!temp) return noTemp(archive);
        uint64_t end_pos = 0;
        if (archCheckFileNames(*held, *temp, names, &end_pos) != 0) {
            std::printf("Error: Couldn't validation file names\n");
            return 1;
        }
        Workers team(threadCount(std::getenv("PELKO_THREADS")));
        size_t failed = 0;
        if (archAddFile(temp->file, names, failed, team) != 0) {
            std::printf("Error: Couldn't add file \"%s\"\n", names[failed].c_str());
            return 1;
        }
        const os::Commit result = archMake(*held, *temp, end_pos);
        if (result != os::Commit::Taken) return committed(result, *temp, archive);
        os::removeWorkingCopy(*held, *temp);
    }
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
    if (archExtractFile(f.get(), all->names, all->offsets, failed, intact, team) != 0) {
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
    if (archExtractFile(f.get(), files, offsets, failed, intact, team) != 0) {
        std::printf("Error: Couldn't extract file \"%s\"\n", files[failed].c_str());
        return 1;
    }
    return extracted(intact);
}

int deleteFlow(NameList& names) {
    std::optional<HeldArchive> held = os::holdArchive(names[0]);
    if (!held || !archCreateOffsetTable(os::streamOf(held->file, "rb").get(), names, true))
        return noTable();
    std::optional<WorkingCopy> temp = archDeleteFiles(*held, names);
    return commit(held, temp, names[0]);
}

int fixFlow(const std::string& archive) {
    std::optional<HeldArchive> held = os::holdArchive(archive);
    std::optional<WorkingCopy> temp = held ? archMakeTempAndFix(*held) : std::nullopt;
    return commit(held, temp, archive);
}

}  // namespace pelko
