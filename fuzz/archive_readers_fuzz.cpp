// Fuzz target: every command on an arbitrary archive file. The input is
// written as an archive into a scratch directory and listed, looked up,
// extracted (into a fresh directory), deleted from, repaired and added to.
// Beyond not crashing: the readers agree on whether the archive reads
// through to its end marker, adding and deleting refuse a file whose first
// end marker is not its last byte, repair refuses a file without a sound
// first entry, a failed run leaves the archive byte-identical,
// a successful one leaves a readable archive of the expected shape, and
// extraction writes nothing outside its directory.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/crc32.h"
#include "archive/format.h"
#include "fuzz_check.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Sandbox {
    std::string root, arcDir, outDir, archive, home;
};

std::string g_root;  // for the exit handler

// What separates the components of a stored name where it is extracted.
#ifdef _WIN32
constexpr const char* kSeparators = "/\\";
constexpr const char* kNullDevice = "NUL";
#else
constexpr const char* kSeparators = "/";
constexpr const char* kNullDevice = "/dev/null";
#endif

const Sandbox& sandbox() {
    static const Sandbox s = [] {
        Sandbox s;
        // The commits fsync; on tmpfs that costs nothing.
        std::string base =
            fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
        std::random_device random;
        for (int tries = 0; tries < 100 && s.root.empty(); ++tries) {
            std::string dir = base + "/pelko-fuzz-" + std::to_string(random());
            std::error_code ec;
            if (fs::create_directory(dir, ec)) s.root = dir;
        }
        FUZZ_CHECK(!s.root.empty());
        s.arcDir = s.root + "/arc";
        s.outDir = s.root + "/out";
        s.archive = s.arcDir + "/a.pkz";
        s.home = fs::current_path().string();
        g_root = s.root;
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(g_root, ec);
        });
        // The program reports on standard output; the fuzzer talks on stderr.
        int null = ::open(kNullDevice, O_WRONLY);
        // dup2 returns the new descriptor on POSIX, 0 on Windows.
        FUZZ_CHECK(null >= 0 && ::dup2(null, 1) != -1);
        ::close(null);
        return s;
    }();
    return s;
}

Bytes get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void put(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    FUZZ_CHECK(out.good());
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

std::vector<std::string> names(const std::string& dir) {
    std::vector<std::string> v;
    for (const auto& e : fs::directory_iterator(dir)) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
}

// Removes the working copies failed runs leave, after checking that nothing
// else appeared beside the archive.
void clearWorkingCopies(const Sandbox& s) {
    for (const std::string& n : names(s.arcDir)) {
        if (n == "a.pkz") continue;
        FUZZ_CHECK(n.rfind("a.pkz.swp", 0) == 0);
        fs::remove(s.arcDir + "/" + n);
    }
}

void checkLookups(const Sandbox& s, const Bytes& original, int listed) {
    std::optional<pelko::AllEntries> all = pelko::archCreateOffsetTableForAll(s.archive);
    pelko::NameList query{s.archive};
    if (all)
        for (size_t k = 0; k < all->names.size() && k < 4; ++k) query.push_back(all->names[k]);
    query.push_back("no such entry");
    std::optional<std::vector<uint64_t>> table = pelko::archCreateOffsetTable(s.archive, query);

    // Both tables need the walk to reach the end marker, as the listing does.
    FUZZ_CHECK(table.has_value() == (listed == 0));
    FUZZ_CHECK(!all || listed == 0);
    if (all) {
        FUZZ_CHECK(!all->offsets.empty() && all->names.size() == all->offsets.size());
        for (size_t k = 0; k < all->offsets.size(); ++k) {
            FUZZ_CHECK(all->offsets[k] < original.size());
            FUZZ_CHECK(k == 0 || all->offsets[k] > all->offsets[k - 1]);
        }
    }
    if (table) {
        FUZZ_CHECK(table->size() == query.size());
        for (size_t j = 1; j < query.size(); ++j) {
            uint64_t want = 0;
            if (all && query[j] != pelko::kRejectedName)
                for (size_t k = 0; k < all->names.size(); ++k)
                    if (all->names[k] == query[j]) want = all->offsets[k];  // the last one wins
            FUZZ_CHECK((*table)[j] == want);
        }
    }
    if (!all) return;

    // Absolute stored names must land inside the output directory.
    std::vector<std::string> absent;
    for (const std::string& n : all->names)
        if (!n.empty() && n[0] == '/' && !exists(n)) absent.push_back(n);
    pelko::extractAllFlow(s.archive);
    for (const std::string& n : absent) FUZZ_CHECK(!exists(n));
    // Extraction makes no directories, so a stored name can only land in
    // the output directory itself, under its last component, when every
    // component before that is "." or empty. Every file there must be one of
    // those: anything else is a temporary file left behind or a misplaced
    // write.
    std::set<std::string> landing;
    for (const std::string& n : all->names) {
        size_t last = n.find_last_of(kSeparators);
        std::string head = last == std::string::npos ? "" : n.substr(0, last + 1);
        bool flat = true;
        for (size_t at = 0; at < head.size();) {
            size_t slash = head.find_first_of(kSeparators, at);
            std::string part = head.substr(at, slash - at);
            flat = flat && (part.empty() || part == ".");
            at = slash + 1;
        }
        if (flat) landing.insert(last == std::string::npos ? n : n.substr(last + 1));
    }
    for (const auto& e : fs::directory_iterator(s.outDir)) {
        FUZZ_CHECK(e.is_regular_file() && !e.is_symlink());
        FUZZ_CHECK(landing.count(e.path().filename().string()));
    }
    FUZZ_CHECK(names(s.root) == (std::vector<std::string>{"arc", "out"}));
    FUZZ_CHECK(names(s.arcDir) == std::vector<std::string>{"a.pkz"});
}

// True when the archive reads through to an end marker that is its last
// byte: only such a file is taken for an archive by adding and deleting.
bool endsAtMarker(const Bytes& archive, int listed) {
    if (listed != 0) return false;
    std::optional<pelko::AllEntries> all = pelko::archCreateOffsetTableForAll(sandbox().archive);
    uint64_t end = 0;
    if (all) {
        uint64_t last = all->offsets.back();
        end = last + 16 + pelko::loadLE32(&archive[last]);
    }
    return end + 1 == archive.size();
}

void checkDelete(const Sandbox& s, const Bytes& original, int listed) {
    put(s.archive, original);
    std::optional<pelko::AllEntries> all = pelko::archCreateOffsetTableForAll(s.archive);
    pelko::NameList del{s.archive, all ? all->names[0] : "x"};
    bool whole = endsAtMarker(original, listed);
    int status = pelko::deleteFlow(del);
    FUZZ_CHECK((status == 0) == whole);
    // Deleting fails at its lookup step already, before any working copy.
    FUZZ_CHECK(names(s.arcDir) == std::vector<std::string>{"a.pkz"});
    Bytes now = get(s.archive);
    if (status != 0) {
        FUZZ_CHECK(now == original);
        return;
    }
    FUZZ_CHECK(now.size() <= original.size());
    FUZZ_CHECK(pelko::archPrintToScreen(s.archive) == 0);
    if (std::optional<pelko::AllEntries> after = pelko::archCreateOffsetTableForAll(s.archive)) {
        for (const std::string& n : after->names) FUZZ_CHECK(n != del[1]);
    }
}

// True when repair may keep something: the file is the one-byte empty
// archive, or its first entry is led by 1 and its block is whole and passes
// its check.
bool soundStart(const Bytes& a) {
    if (a.empty() || a[0] > pelko::kEntryLead) return false;
    if (a[0] == pelko::kEndMarker) return a.size() == 1;
    // A name of kNameBufferSize - 1 bytes ends with its NUL at offset kNameBufferSize.
    const size_t limit = std::min(a.size(), 1 + pelko::kNameBufferSize);
    const size_t nul = size_t(std::find(a.begin() + 1, a.begin() + long(limit), 0) - a.begin());
    if (nul == limit || nul + 17 > a.size()) return false;
    const uint64_t len = pelko::loadLE32(&a[nul + 1]);
    if (nul + 17 + len > a.size()) return false;
    return pelko::crc32(&a[nul + 17], size_t(len)) == pelko::loadLE32(&a[nul + 13]);
}

void checkRepair(const Sandbox& s, const Bytes& original, int listed) {
    put(s.archive, original);
    int status = pelko::fixFlow(s.archive);
    Bytes now = get(s.archive);
    if (!soundStart(original)) {
        // Refused before any working copy is made.
        FUZZ_CHECK(status != 0 && now == original);
        FUZZ_CHECK(names(s.arcDir) == std::vector<std::string>{"a.pkz"});
        return;
    }
    FUZZ_CHECK(listed != 0 || status == 0);
    if (status != 0) {
        FUZZ_CHECK(now == original);
        clearWorkingCopies(s);
        return;
    }
    FUZZ_CHECK(names(s.arcDir) == std::vector<std::string>{"a.pkz"});
    // A leading run of the archive's bytes, then the end marker.
    FUZZ_CHECK(!now.empty() && now.size() <= original.size() && now.back() == 0);
    FUZZ_CHECK(std::equal(now.begin(), now.end() - 1, original.begin()));
    FUZZ_CHECK(pelko::archPrintToScreen(s.archive) == 0);
    FUZZ_CHECK(pelko::fixFlow(s.archive) == 0 && get(s.archive) == now);
}

void checkAdd(const Sandbox& s, const Bytes& original, int listed) {
    put(s.archive, original);
    std::optional<pelko::AllEntries> before = pelko::archCreateOffsetTableForAll(s.archive);
    put(s.outDir + "/n.txt", Bytes{'n', 'e', 'w', '\n'});
    pelko::NameList add{s.archive, "n.txt"};
    bool whole = endsAtMarker(original, listed);
    int status = pelko::addFlow(add);
    FUZZ_CHECK((status == 0) == whole);
    if (status != 0) {
        FUZZ_CHECK(get(s.archive) == original);
        clearWorkingCopies(s);
        return;
    }
    FUZZ_CHECK(names(s.arcDir) == std::vector<std::string>{"a.pkz"});
    // Every entry stays visible and the new one follows them.
    std::optional<pelko::AllEntries> after = pelko::archCreateOffsetTableForAll(s.archive);
    FUZZ_CHECK(after.has_value());
    std::vector<std::string> want = before ? before->names : std::vector<std::string>{};
    if (std::find(want.begin(), want.end(), "n.txt") == want.end()) want.push_back("n.txt");
    FUZZ_CHECK(after->names == want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Sandbox& s = sandbox();
    fs::remove_all(s.arcDir);
    fs::remove_all(s.outDir);
    fs::create_directory(s.arcDir);
    fs::create_directory(s.outDir);
    const Bytes original(data, data + size);
    put(s.archive, original);
    // Extraction writes relative to the current directory.
    FUZZ_CHECK(::chdir(s.outDir.c_str()) == 0);

    int listed = pelko::listFlow(s.archive);
    checkLookups(s, original, listed);
    FUZZ_CHECK(get(s.archive) == original);
    checkDelete(s, original, listed);
    checkRepair(s, original, listed);
    checkAdd(s, original, listed);

    FUZZ_CHECK(::chdir(s.home.c_str()) == 0);
    return 0;
}
