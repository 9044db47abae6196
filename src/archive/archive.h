// The archive operations and the command flows that drive them. An operation
// that produces something (a working copy's name, an offset table) returns
// it, or nullopt on failure; the others return 0 on success and 1 on failure.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "archive/working_copy.h"
#include "codec/workers.h"
#include "os/os.h"

namespace pelko {

// Entry 0 is the archive name as typed, entries 1.. the file names; screening
// may replace file names by the rejected-name marker.
using NameList = std::vector<std::string>;

// Listing: prints every entry's name and block length, then the totals.
// 0 when the archive was read to its end marker, 1 otherwise.
int archPrintToScreen(const std::string& archive);

// Working copies. archMakeTemp makes a copy of the held archive (or an empty
// archive when there is none); archMake commits a working copy over the
// archive and removes it. `extends`, when given, is the length of the archive
// that the working copy extends (adding: new entries in place of its end
// marker), which lets a commit that must write in place keep the archive
// whole.
std::optional<WorkingCopy> archMakeTemp(HeldArchive& archive);
os::Commit archMake(HeldArchive& archive, WorkingCopy& temp,
                    std::optional<uint64_t> extends = std::nullopt);

// Screening. The first stage compares the names with the archive name, and
// with each other; a name that leads to one of `archive_files` (the archive
// under another name: through "." or "..", a link) counts as the archive
// name. archCheckFileNames runs it with the archive's file and the working
// copy's, then the second stage against the names stored in the working copy
// `temp` of `archive`, and fails when its first end marker is not its last
// byte. `end_pos`, when given, receives its length.
void screenNames(NameList& names, const std::vector<os::FileId>& archive_files = {});
int archCheckFileNames(const HeldArchive& archive, WorkingCopy& temp, NameList& names,
                       uint64_t* end_pos = nullptr);

// Appends the files names[1..] to the working copy `temp` in order, each as
// if alone (the same entries and messages whatever the team's size), with
// the work shared among the team; 0 when each was appended or skipped, 1 at
// the first that fails, whose index goes to `failed`, and the working copy
// then holds the files before it.
int archAddFile(os::File& temp, const NameList& names, size_t& failed, Workers& team);

// Offset tables: per requested name (slot j for names[j], 0 = not found), or
// every entry in archive order with its stored name. The names are screened
// before the archive is read; a null archive (one that could not be opened)
// gives no table, and so does, with `whole`, a file whose first end marker
// is not its last byte.
std::optional<std::vector<uint64_t>> archCreateOffsetTable(std::FILE* archive, NameList& names,
                                                           bool whole = false);
std::optional<std::vector<uint64_t>> archCreateOffsetTable(const std::string& archive,
                                                           NameList& names, bool whole = false);
struct AllEntries {
    std::vector<uint64_t> offsets;
    std::vector<std::string> names;
};
std::optional<AllEntries> archCreateOffsetTableForAll(std::FILE* archive);
std::optional<AllEntries> archCreateOffsetTableForAll(const std::string& archive);

// Restores names[k] from the entry at offsets[k] of the open archive for
// every k in order, each as if alone (the same files, messages and order
// whatever the team's size), with the decoding shared among the team; 0
// when each was written or had nothing to do, 1 at the first that fails,
// whose index goes to `failed`, and no entry after it is written. `intact`
// tells whether every block checked: one that failed its CRC is warned
// about and still written, which is no failure of the operation but is of
// the run. The archive is read with positioned reads only, so one run reads
// every entry through one descriptor (and one version of the archive), from
// any thread.
int archExtractFile(std::FILE* archive, const std::vector<std::string>& names,
                    const std::vector<uint64_t>& offsets, size_t& failed, bool& intact,
                    Workers& team);

// Rewrite the held archive into a fresh working copy without the named
// entries, or cut before the first entry whose block fails its CRC; the
// working copy, or nullopt on failure. Repair refuses, with a warning and
// before making a working copy, a file that is not the empty archive and
// whose first entry is not led by 0x01 with a block that passes its check.
std::optional<WorkingCopy> archDeleteFiles(HeldArchive& archive, const NameList& names);
std::optional<WorkingCopy> archMakeTempAndFix(HeldArchive& archive);

// Command flows; each returns the exit status.
int listFlow(const std::string& archive);
int addFlow(NameList& names);
int extractAllFlow(const std::string& archive);
int extractFlow(NameList& names);
int deleteFlow(NameList& names);
int fixFlow(const std::string& archive);

}  // namespace pelko
