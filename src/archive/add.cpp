// Adding files to a working copy. Small files are read once, whole, and
// encoded in memory, a batch at a time on the thread team while the batch
// before is written. A large file is counted in one pass and encoded in a
// second, in pieces whose slices the team packs from the bit offsets the
// first pass's counts give, while the piece before is written; memory stays
// bounded whatever the file's size. The entries, their order and every
// message are the same whatever the team's size.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>

#include "archive/archive.h"
#include "archive/crc32.h"
#include "archive/format.h"
#include "archive/output_path.h"
#include "codec/huffman.h"
#include "os/os.h"

namespace pelko {
namespace {

// Files up to this size are read whole; at most kBatchFiles of them are
// encoded at once while as many wait to be written.
constexpr uint64_t kWholeFile = uint64_t(1) << 20;
constexpr size_t kBatchFiles = 16;
constexpr uint64_t kWriteback = uint64_t(2) << 20;
constexpr size_t kStreamBuffer = size_t{256} << 10;

enum class Outcome { Skipped, Empty, Failed, Encoded, Large };

// One file made ready for its turn.
struct Job {
    const std::string* name = nullptr;
    Outcome outcome = Outcome::Failed;
    bool unsafe = false;  // refused for its name, with a warning
    os::File in;
    os::FileInfo info;
    // Kept from batch to batch, so its memory is reused.
    std::vector<uint8_t> block;
    uint32_t crc = 0;
};

void prepare(Job& job) {
    const std::string& file = *job.name;
    job.in = os::File();
    job.unsafe = false;
    job.outcome = Outcome::Failed;
    if (file == kRejectedName) {
        job.outcome = Outcome::Skipped;
        return;
    }
    // A name this long could never be read back from the archive, nor could
    // a name that every extraction refuses.
    if (file.size() >= kNameBufferSize) return;
    if (!safeOutputPath(file)) {
        job.unsafe = true;
        return;
    }
    // Opening a FIFO must not hang; only regular files go on.
    job.in = os::openInput(file);
    std::optional<os::FileInfo> got;
    if (!job.in.isOpen() || !(got = os::fileInfo(job.in)) || !got->regular) return;
    job.info = *got;
    const uint64_t size = job.info.size;
    if (size == 0) {
        job.outcome = Outcome::Empty;
        return;
    }
    if (size > UINT32_MAX) return;
    if (size > kWholeFile) {
        job.outcome = Outcome::Large;
        return;
    }
    // The input is read into memory of the thread's, taken once for the
    // largest file read whole and not zero-filled: only the pages used are
    // ever touched, each once.
    thread_local std::unique_ptr<uint8_t[]> data;
    try {
        if (!data) data = std::make_unique_for_overwrite<uint8_t[]>(size_t(kWholeFile));
    } catch (const std::bad_alloc&) {
        return;
    }
    // One read gives the bytes that are both counted and packed.
    const std::span<const uint8_t> input(data.get(), size_t(size));
    if (!job.in.readAt(0, data.get(), input.size()) || !encodeBlockInto(input, job.block) ||
        job.block.size() > UINT32_MAX)
        return;
    job.in.close();
    job.crc = crc32Update(0, job.block.data(), job.block.size());
    job.outcome = Outcome::Encoded;
}

// The working copy, written from the place of its end marker on.
struct Sink {
    std::FILE* f = nullptr;
    uint64_t pos = 0;  // where the next byte goes
    uint64_t synced = 0;
    bool broken = false;  // a write failed: leave the file as it is

    bool write(const void* data, size_t n) {
        if (n && std::fwrite(data, 1, n, f) != n) return !(broken = true);
        pos += n;
        // Start writing back what is done, so the flush before the commit
        // has little left to wait for.
        if (pos - synced >= kWriteback && std::fflush(f) == 0) {
            os::startWriteback(f, synced, pos - synced);
            synced = pos;
        }
        return true;
    }
    bool head(const EntryHead& e) {
        if (!writeEntryHead(f, e)) return !(broken = true);
        pos = entryOffset(pos, e.name.size()) + kEntryFieldBytes;
        return true;
    }
};

EntryHead headOf(const Job& job, uint32_t block_len, uint32_t crc) {
    EntryHead e;
    e.lead = kEntryLead;
    e.name = *job.name;
    e.block_len = block_len;
    e.ctime = job.info.ctime;
    e.mtime = job.info.mtime;
    e.crc = crc;
    return e;
}

// Counts a large file in one pass and packs it in a second, slices of
// kSliceBytes shared among the team, and appends its entry.
bool addLarge(Sink& sink, Job& job, Workers& team) {
    const uint64_t size = job.info.size;
    constexpr size_t kSlice = kSliceBytes;
    const size_t slices = size_t((size + kSlice - 1) / kSlice);
    const unsigned perPiece = std::max(4u, 2 * team.size());
    auto sliceLen = [&](size_t s) { return size_t(std::min<uint64_t>(kSlice, size - s * kSlice)); };
    // The slices read, the slices packed (a piece being packed, the piece
    // before it being written) and the counts of every slice, in memory taken
    // in one block, since fresh memory costs a page fault per page.
    constexpr size_t kOutRoom = (packRoom(kSlice) + 63) & ~size_t{63};
    const size_t inBytes = perPiece * kSlice, outBytes = 2 * perPiece * kOutRoom;
    const size_t countRoom = slices * sizeof(ByteCounts);
    os::Memory memory = os::allocateMemory(inBytes + outBytes + countRoom);
    if (!memory.data()) return false;
    const std::span<ByteCounts> counts(
        reinterpret_cast<ByteCounts*>(memory.data() + inBytes + outBytes), slices);
    std::uninitialized_fill(counts.begin(), counts.end(), ByteCounts{});
    std::vector<std::span<uint8_t>> in(perPiece);
    std::vector<std::span<uint8_t>> out[2];
    std::vector<uint64_t> start;
    std::vector<uint8_t> ok(perPiece);
    try {
        start.resize(slices + 1);
        out[0].resize(perPiece);
        out[1].resize(perPiece);
    } catch (const std::bad_alloc&) {
        return false;
    }
    auto outSlot = [&](int parity, unsigned i) {
        return memory.data() + inBytes + (size_t(parity) * perPiece + i) * kOutRoom;
    };
    auto allOk = [&](unsigned n) {
        for (unsigned i = 0; i < n; ++i)
            if (!ok[i]) return false;
        return true;
    };
    auto readSlice = [&](unsigned i, size_t s) {
        in[i] = {memory.data() + i * kSlice, sliceLen(s)};
        return job.in.readAt(uint64_t(s) * kSlice, in[i].data(), in[i].size());
    };

    for (size_t first = 0; first < slices; first += perPiece) {
        const unsigned n = unsigned(std::min<size_t>(perPiece, slices - first));
        team.run(n, [&](unsigned i) {
            ok[i] = readSlice(i, first + i);
            if (ok[i]) countBytes(in[i], counts[first + i]);
        });
        if (!allOk(n)) return false;
    }
    ByteCounts total{};
    for (const ByteCounts& c : counts)
        for (int v = 0; v < 256; ++v) total[v] += c[v];
    const CodeTable code = buildCode(total);
    const uint64_t block_len = blockLength(code, total);
    if (block_len > UINT32_MAX) return false;
    start[0] = 0;
    for (size_t s = 0; s < slices; ++s) start[s + 1] = start[s] + streamBits(code, counts[s]);
    BitPacker shared;
    std::vector<uint8_t> header;
    if (!prepareSlices(code, shared) || !appendBlockHeader(code, size, header)) return false;

    const uint64_t head_pos = sink.pos;
    EntryHead e = headOf(job, uint32_t(block_len), 0);
    if (!sink.head(e) || !sink.write(header.data(), header.size())) return false;
    uint32_t crc = crc32Update(0, header.data(), header.size());
    auto put = [&](const uint8_t* p, size_t n) {
        crc = crc32Update(crc, p, n);
        return sink.write(p, n);
    };
    // Neighbouring slices meet in one byte: the last byte of a slice that
    // ends inside a byte waits for the next slice's first byte.
    int pending = -1;
    auto writePiece = [&](size_t first, unsigned n, int parity) {
        for (unsigned i = 0; i < n; ++i) {
            const size_t s = first + i;
            uint8_t* b = out[parity][i].data();
            size_t m = out[parity][i].size();
            if (start[s] & 7) {
                b[0] |= uint8_t(pending);
                pending = -1;
            }
            if (start[s + 1] & 7) pending = b[--m];
            if (!put(b, m)) return false;
        }
        return true;
    };

    // Each piece is packed while the piece before is written.
    size_t prevFirst = 0;
    unsigned prevCount = 0;
    bool written = true;
    int parity = 0;
    for (size_t first = 0; first < slices; first += perPiece, parity ^= 1) {
        const unsigned n = unsigned(std::min<size_t>(perPiece, slices - first));
        team.run(n + 1, [&](unsigned t) {
            if (t == 0) {
                if (prevCount) written = writePiece(prevFirst, prevCount, parity ^ 1);
                return;
            }
            const unsigned i = t - 1;
            const size_t s = first + i;
            BitPacker packer = slicePacker(shared, unsigned(start[s] & 7));
            ok[i] = readSlice(i, s);
            uint8_t* b = outSlot(parity, i);
            uint8_t* e = ok[i] ? packInto(code, packer, in[i], b) : nullptr;
            if (e) e = finishInto(packer, e);
            // A slice whose bytes changed since they were counted packs to
            // another length; the check after the last piece refuses the file.
            ok[i] = e && size_t(e - b) == (start[s + 1] + 7) / 8 - start[s] / 8;
            out[parity][i] = {b, ok[i] ? size_t(e - b) : 0};
        });
        if (!written || !allOk(n)) return false;
        prevFirst = first;
        prevCount = n;
    }
    if (prevCount && !writePiece(prevFirst, prevCount, parity ^ 1)) return false;
    if (pending >= 0) {
        const uint8_t last = uint8_t(pending);
        if (!put(&last, 1)) return false;
    }
    // A file written to between the passes would be stored with codes that
    // do not fit its bytes: refuse it instead.
    std::optional<os::FileInfo> after = os::fileInfo(job.in);
    if (sink.pos != entryOffset(head_pos, e.name.size()) + kEntryFieldBytes + block_len || !after ||
        !after->sameContentAs(job.info))
        return false;
    const uint64_t end = sink.pos;
    if (!os::seek(sink.f, int64_t(entryOffset(head_pos, e.name.size()) + kCrcFieldOffset),
                  SEEK_SET) ||
        writeULong(crc, sink.f) != 0 || !os::seek(sink.f, int64_t(end), SEEK_SET))
        return !(sink.broken = true);
    return true;
}

enum class Stop { Done, Large, Failed };

// Writes the jobs of a batch from `next` on, in order, printing their
// messages, until the batch ends, a large file waits, or a file fails.
Stop writeJobs(Sink& sink, std::vector<Job>& jobs, size_t count, size_t& next) {
    for (; next < count; ++next) {
        Job& job = jobs[next];
        switch (job.outcome) {
            case Outcome::Skipped:
                break;
            case Outcome::Empty:
                std::printf("File \"%s\" is null. Skip it.\n", job.name->c_str());
                break;
            case Outcome::Large:
                return Stop::Large;
            case Outcome::Failed:
                if (job.unsafe)
                    std::printf("Warning: \"%s\" - unsafe path, refused.\n", job.name->c_str());
                return Stop::Failed;
            case Outcome::Encoded:
                if (!sink.head(headOf(job, uint32_t(job.block.size()), job.crc)) ||
                    !sink.write(job.block.data(), job.block.size()))
                    return Stop::Failed;
                break;
        }
    }
    return Stop::Done;
}

}  // namespace

int archAddFile(os::File& temp, const NameList& names, size_t& failed, Workers& team) {
    failed = 0;
    if (names.size() < 2) return 0;
    // The stream writes in steps of its buffer, whose default is one page;
    // the buffer outlives the stream.
    std::unique_ptr<char[]> buffer;
    try {
        buffer = std::make_unique_for_overwrite<char[]>(kStreamBuffer);
    } catch (const std::bad_alloc&) {
    }
    FilePtr out = os::streamOf(temp, "r+b");
    if (out && buffer) std::setvbuf(out.get(), buffer.get(), _IOFBF, kStreamBuffer);
    Sink sink;
    std::optional<uint64_t> end;
    if (out && os::seek(out.get(), -1, SEEK_END)) end = os::tell(out.get());
    if (!end) {
        // Only names that are skipped anyway get by without the working copy.
        for (failed = 1; failed < names.size() && names[failed] == kRejectedName; ++failed) {
        }
        return failed < names.size() ? 1 : 0;
    }
    sink.f = out.get();
    sink.pos = sink.synced = *end;

    std::vector<Job> batch[2];
    size_t count[2] = {0, 0};
    try {
        batch[0].resize(kBatchFiles);
        batch[1].resize(kBatchFiles);
    } catch (const std::bad_alloc&) {
        failed = 1;
        return 1;
    }
    size_t next = 1;  // the next name to prepare
    auto fill = [&](int b) {
        count[b] = std::min(kBatchFiles, names.size() - next);
        for (size_t i = 0; i < count[b]; ++i) batch[b][i].name = &names[next + i];
        next += count[b];
    };
    fill(0);
    team.run(unsigned(count[0]), [&](unsigned i) { prepare(batch[0][i]); });
    size_t first = 1;  // the name of batch[cur][0]
    for (int cur = 0; count[cur] > 0; cur ^= 1) {
        const int nb = cur ^ 1;
        fill(nb);
        size_t at = 0;
        Stop stop = Stop::Done;
        team.run(unsigned(count[nb] + 1), [&](unsigned t) {
            if (t == 0)
                stop = writeJobs(sink, batch[cur], count[cur], at);
            else
                prepare(batch[nb][t - 1]);
        });
        while (stop == Stop::Large) {
            const uint64_t before = sink.pos;
            if (!addLarge(sink, batch[cur][at], team)) {
                // Once its entry is begun, the working copy is left as the
                // failure found it.
                if (sink.pos != before) sink.broken = true;
                stop = Stop::Failed;
                break;
            }
            batch[cur][at].in = os::File();
            ++at;
            stop = writeJobs(sink, batch[cur], count[cur], at);
        }
        if (stop == Stop::Failed) {
            failed = first + at;
            // Every file before the failing one is complete in the working
            // copy, followed by the end marker, unless writing failed.
            if (!sink.broken) {
                std::fputc(kEndMarker, out.get());
                closeFile(out);
            }
            return 1;
        }
        first += count[cur];
    }
    if (std::fputc(kEndMarker, out.get()) == EOF || !closeFile(out)) {
        failed = names.size() - 1;
        return 1;
    }
    return 0;
}

}  // namespace pelko
