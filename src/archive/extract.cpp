// Extracting entries: each is decoded into a file of its own beside the
// target, which takes the target's place only when the block was read,
// checked and decoded completely, so a failure never destroys a file. Small
// entries are read a batch at a time and decoded in memory, several at once
// on the team, while the batch before takes its places in order; a large
// one is decoded by the codec straight into its file, a stretch at a time on
// the whole team.
#include <cassert>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "archive/archive.h"
#include "archive/crc32.h"
#include "archive/format.h"
#include "archive/output_path.h"
#include "codec/byte_order.h"
#include "codec/huffman.h"
#include "os/os.h"

namespace pelko {
namespace {

// The file being written in place of the output; removed again unless it
// took the output's place.
struct TempOutput {
    os::Output out;
    explicit TempOutput(os::Output&& o) : out(std::move(o)) {}
    TempOutput(TempOutput&& o) noexcept : out(std::move(o.out)) {
        o.out.temp.clear();
        o.out.guard = -1;
    }
    TempOutput& operator=(TempOutput&&) = delete;
    ~TempOutput() { os::discardOutput(out); }
};

// What the entries of one run share: the archive's own file, which no
// output may replace whatever name leads to it (an entry "./a.pkz" of
// a.pkz, a hard link's name), and whether every block so far checked.
struct Run {
    std::optional<os::FileId> archive_file;
    bool& intact;
};

void refused(const std::string& out) {
    std::printf("Warning: \"%s\" - unsafe path, refused.\n", out.c_str());
}

// The output for the safe path `path` of the stored name `out`, telling of
// a refused path; nullopt on failure.
std::optional<os::Output> create(const Run& run, const std::string& out, const std::string& path) {
    os::Error err = os::Error::None;
    std::optional<os::Output> created = os::createOutput(path, &err, run.archive_file);
    if (!created && err == os::Error::Unsafe) refused(out);
    return created;
}

int commit(TempOutput& tmp, const std::string& out) {
    os::Error err = os::Error::None;
    if (os::commitOutput(tmp.out, &err)) return 0;
    if (err == os::Error::Unsafe) refused(out);
    return 1;
}

// The block's bytes as the decoder reads them, from any thread, with the
// CRC-32 of those read so far from the block's start on: a piece read
// before the pieces ahead of it waits for them, and what the decoder left
// unread is read at the end for the check alone.
class BlockInput {
public:
    BlockInput(std::FILE* f, uint64_t start, uint64_t length, std::span<const uint8_t> head)
        : f_(f), start_(start), length_(length), head_(head) {}

    // As the decoder asks: `fresh` bytes from `at` are read by no other call.
    bool read(uint64_t at, std::span<uint8_t> into, size_t fresh) {
        if (!os::readAt(f_, start_ + at, into.data(), into.size())) return false;
        const Piece piece{at, fresh, crc32(into.data(), fresh)};
        std::lock_guard lock(m_);
        // The decoder reads from the header's end on: the header is the
        // head's first bytes.
        if (checked_ == 0 && at <= head_.size()) {
            crc_ = crc32(head_.data(), size_t(at));
            checked_ = at;
        }
        // At most one piece a thread waits, since each waits for the
        // pieces before its own; one that does not fit is read again by
        // finish, as is everything past a gap.
        if (waiting_ < std::size(pieces_)) pieces_[waiting_++] = piece;
        for (size_t k = 0; k < waiting_;) {
            if (pieces_[k].at != checked_) {
                ++k;
                continue;
            }
            crc_ = crc32Combine(crc_, pieces_[k].crc, pieces_[k].len);
            checked_ += pieces_[k].len;
            pieces_[k] = pieces_[--waiting_];
            k = 0;
        }
        return true;
    }

    // Reads what the decoder left, for the CRC alone; the block's CRC.
    std::optional<uint32_t> finish() {
        uint8_t buf[1 << 16];
        while (checked_ < length_) {
            const size_t n = size_t(std::min<uint64_t>(length_ - checked_, sizeof buf));
            if (!os::readAt(f_, start_ + checked_, buf, n)) return std::nullopt;
            crc_ = crc32Update(crc_, buf, n);
            checked_ += n;
        }
        return crc_;
    }

private:
    struct Piece {
        uint64_t at = 0, len = 0;
        uint32_t crc = 0;
    };
    std::FILE* f_;
    const uint64_t start_, length_;
    std::span<const uint8_t> head_;
    std::mutex m_;
    // Guarded by `m_`: the bytes from the block's start that `crc_` covers,
    // and the pieces read past them.
    uint64_t checked_ = 0;
    uint32_t crc_ = 0;
    Piece pieces_[kMaxThreads];
    size_t waiting_ = 0;
};

// Decodes the block at `start` into `out`, on the team's threads, in memory
// taken once for the run's large entries. False when the block cannot be
// read or decoded, memory cannot be had, or the output cannot be written;
// `crc` is the block's CRC, where it could be read.
bool decodeTo(std::FILE* archive, uint64_t start, uint64_t length, os::File& out,
              os::Memory& memory, Workers& team, std::optional<uint32_t>& crc) {
    uint8_t head[kMaxBlockHeader];
    const size_t head_len = size_t(std::min<uint64_t>(length, sizeof head));
    BlockInput in(archive, start, length, {head, head_len});
    bool decoded = false;
    if (os::readAt(archive, start, head, head_len)) {
        const size_t need = largeDecodeMemory(team.size());
        if (memory.size() < need) memory = os::allocateMemory(need);
        const BlockIo io{[&](uint64_t at, std::span<uint8_t> into, size_t fresh) {
                             return in.read(at, into, fresh);
                         },
                         [&](uint64_t at, std::span<const std::span<const uint8_t>> parts) {
                             return out.writeAt(at, parts);
                         }};
        decoded = memory.data() && decodeLargeBlock({head, head_len}, length, io, team, team.size(),
                                                    {memory.data(), memory.size()});
    }
    crc = in.finish();
    return decoded;
}

// Entries whose block and output both fit these are decoded in memory,
// several at once on the team; larger ones are decoded straight into their
// files one at a time, decoding overlapped with reading and writing.
constexpr uint64_t kSmallBlock = uint64_t(1) << 20, kSmallOutput = uint64_t(1) << 20;
constexpr size_t kBatchEntries = 32;
// Two batches' files and a large entry's are made and not yet committed at
// most.
static_assert(2 * kBatchEntries + 1 <= os::kOutputsAtOnce);

// Extracting one large entry from the open archive, straight into its file
// a stretch at a time on the team's threads; `memory` serves the run.
int extractStreaming(std::FILE* archive, const std::string& out, uint64_t offset,
                     os::Memory& memory, Workers& team, Run& run) {
    if (offset == 0 || out == kRejectedName) return 0;
    if (!archive) return 1;
    std::optional<std::string> path = safeOutputPath(out);
    if (!path) {
        refused(out);
        return 1;
    }
    if (path->empty()) return 1;
    uint8_t fields[kEntryFieldBytes];
    if (!os::readAt(archive, offset, fields, sizeof fields)) return 1;
    const uint32_t block_len = loadLE32(fields), crc = loadLE32(fields + kCrcFieldOffset);
    // A block that reaches past the end of the archive cannot be read whole.
    std::optional<uint64_t> archive_size = os::size(archive);
    if (!archive_size || offset + kEntryFieldBytes + block_len > *archive_size) return 1;
    std::optional<os::Output> created = create(run, out, *path);
    if (!created) return 1;
    TempOutput tmp{std::move(*created)};
    std::optional<uint32_t> got;
    const bool decoded =
        decodeTo(archive, offset + kEntryFieldBytes, block_len, tmp.out.file, memory, team, got);
    // The CRC covers the whole block; the warning comes before any failure
    // is reported.
    if (!got) return 1;
    if (*got != crc) {
        std::printf("Warning: \"%s\" - bad hash.\n", out.c_str());
        run.intact = false;
    }
    if (!decoded) return 1;
    return commit(tmp, out);
}

// A small entry made ready ahead of its turn by any thread of the team:
// read, checked, decoded and written to a file of its own beside its target.
// At the entry's turn, in entry order, its messages are printed and the file
// takes the target's place, so that a run leaves the files and prints the
// messages of one that does one entry after another; the files made ahead
// for entries after one that fails are removed unseen. An entry whose block
// cannot be read, decoded or checked has its file made at its turn instead.
struct Decoded {
    enum class State { Skip, Failed, Large, Unsafe, Ready } state = State::Skip;
    // The entry's fields and block, where the batch's read holds them whole.
    std::span<const uint8_t> held;
    bool readFailed = false;  // the block could not be read after its fields
    bool badHash = false, decoded = false;
    // Kept from batch to batch, so their memory is reused.
    std::vector<uint8_t> block, data;
    // The file made ahead, and why it could not be made or written.
    std::optional<TempOutput> made;
    os::Error createError = os::Error::None;
    bool ahead = false, wrote = false;
};

// `archive_size` is asked once per run: the lock keeps the archive as it is.
void decodeEntry(std::FILE* archive, std::optional<uint64_t> archive_size, const std::string& out,
                 uint64_t offset, Decoded& r) {
    using State = Decoded::State;
    r.readFailed = r.badHash = r.decoded = false;
    r.state = State::Skip;
    if (offset == 0 || out == kRejectedName) return;
    r.state = State::Failed;
    if (!archive) return;
    std::optional<std::string> path = safeOutputPath(out);
    if (!path) {
        r.state = State::Unsafe;
        return;
    }
    if (path->empty()) return;
    uint8_t fields[kEntryFieldBytes];
    if (!r.held.empty())
        std::memcpy(fields, r.held.data(), sizeof fields);
    else if (!os::readAt(archive, offset, fields, sizeof fields))
        return;
    const uint32_t block_len = loadLE32(fields), crc = loadLE32(fields + kCrcFieldOffset);
    if (!archive_size || offset + kEntryFieldBytes + block_len > *archive_size) return;
    r.state = State::Large;
    if (block_len > kSmallBlock) return;
    std::span<const uint8_t> block;
    if (!r.held.empty()) {
        block = r.held.subspan(kEntryFieldBytes, block_len);
    } else {
        try {
            r.block.resize(block_len);
        } catch (const std::bad_alloc&) {
            return;
        }
        // The output's size is in the block's header.
        if (block_len >= 5 && !os::readAt(archive, offset + kEntryFieldBytes, r.block.data(), 5))
            return;
        block = r.block;
    }
    if (block_len >= 5 && loadLE32(block.data() + 1) > kSmallOutput) return;
    r.state = State::Ready;
    if (r.held.empty() &&
        !os::readAt(archive, offset + kEntryFieldBytes, r.block.data(), block_len)) {
        r.readFailed = true;
        return;
    }
    r.badHash = crc32Update(0, block.data(), block_len) != crc;
    r.decoded = decodeBlockInto(block, r.data);
}

// Decodes the entry and, where it read, checked and decoded, makes its file
// and writes it.
void prepareEntry(std::FILE* archive, std::optional<uint64_t> archive_size, const std::string& out,
                  uint64_t offset, const Run& run, Decoded& r) {
    decodeEntry(archive, archive_size, out, offset, r);
    r.made.reset();
    r.ahead = r.wrote = false;
    if (r.state != Decoded::State::Ready || r.readFailed || r.badHash || !r.decoded) return;
    r.ahead = true;
    r.createError = os::Error::None;
    std::optional<os::Output> created = os::createOutput(*safeOutputPath(out), &r.createError,
                                                         run.archive_file, os::Placement::Beside);
    if (!created) return;
    r.made.emplace(std::move(*created));
    r.wrote = r.made->out.file.writeAll(r.data.data(), r.data.size());
}

// At the entry's turn: makes its file if that was not done ahead, prints its
// warnings and commits it; the entry's status.
int writeEntry(const std::string& out, Decoded& r, Run& run) {
    using State = Decoded::State;
    switch (r.state) {
        case State::Skip:
            return 0;
        case State::Unsafe:
            refused(out);
            return 1;
        case State::Failed:
        case State::Large:
            return 1;
        case State::Ready:
            break;
    }
    // A file that could not be made ahead (descriptors may have run short
    // while others were) is made now, unless its path was refused.
    if (r.ahead && (r.made || r.createError == os::Error::Unsafe)) {
        if (!r.made) {
            refused(out);
            return 1;
        }
        const int status = r.wrote ? commit(*r.made, out) : 1;
        r.made.reset();
        return status;
    }
    std::optional<os::Output> created = create(run, out, *safeOutputPath(out));
    if (!created) return 1;
    TempOutput tmp{std::move(*created)};
    if (r.readFailed) return 1;
    const bool wrote = r.decoded && tmp.out.file.writeAll(r.data.data(), r.data.size());
    if (r.badHash) {
        std::printf("Warning: \"%s\" - bad hash.\n", out.c_str());
        run.intact = false;
    }
    if (!wrote) return 1;
    return commit(tmp, out);
}

// The archive's bytes where a batch of small entries lies, read at once:
// such entries lie back to back, and one read serves hundreds of them.
struct Window {
    // Taken at the first read, unfilled: an archive of large entries alone
    // never needs it, and fresh memory costs a fault per page.
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t start = 0;
    size_t len = 0;

    // The `n` bytes at archive position `pos`, or an empty span where the
    // window does not hold them all.
    std::span<const uint8_t> get(uint64_t pos, uint64_t n) const {
        if (pos < start || pos - start > len || n > len - (pos - start)) return {};
        return {bytes.get() + (pos - start), size_t(n)};
    }
    // Reads from `pos` on; holds nothing when memory or the read fails.
    void fill(std::FILE* archive, uint64_t pos, uint64_t archive_size);
};
constexpr size_t kWindowBytes = size_t(1) << 20;

void Window::fill(std::FILE* archive, uint64_t pos, uint64_t archive_size) {
    start = pos;
    len = 0;
    if (!bytes) bytes.reset(new (std::nothrow) uint8_t[kWindowBytes]);
    if (!bytes || pos >= archive_size) return;
    len = size_t(std::min<uint64_t>(kWindowBytes, archive_size - pos));
    if (!os::readAt(archive, pos, bytes.get(), len)) len = 0;
}

// Sets what the window holds of each entry, filling it once from the
// batch's first entry when it lacks any; entries it cannot hold are read
// on their own.
void holdBatch(std::FILE* archive, std::optional<uint64_t> archive_size, Window& w,
               const std::vector<uint64_t>& offsets, size_t from, size_t count,
               std::vector<Decoded>& batch) {
    size_t first = count;
    for (size_t i = 0; i < count; ++i) {
        batch[i].held = {};
        if (first == count && offsets[from + i] != 0) first = i;
    }
    if (!archive || !archive_size || first == count) return;
    // Nothing is read for a first entry that the window cannot hold: the
    // next entry starting past the window's end tells so without a read.
    const uint64_t at = offsets[from + first];
    uint64_t next = *archive_size;
    for (size_t i = first + 1; i < count && next == *archive_size; ++i)
        if (offsets[from + i] > at) next = offsets[from + i];
    if (next > at && next - at > kWindowBytes) return;
    for (bool refilled = false;;) {
        bool all = true;
        for (size_t i = first; i < count; ++i) {
            const uint64_t offset = offsets[from + i];
            if (offset == 0) continue;
            std::span<const uint8_t> fields = w.get(offset, kEntryFieldBytes);
            batch[i].held =
                fields.empty() ? fields : w.get(offset, kEntryFieldBytes + loadLE32(fields.data()));
            all = all && !batch[i].held.empty();
        }
        if (all || refilled) return;
        w.fill(archive, offsets[from + first], *archive_size);
        refilled = true;
    }
}

}  // namespace

int archExtractFile(std::FILE* archive, const std::vector<std::string>& names,
                    const std::vector<uint64_t>& offsets, size_t& failed, bool& intact,
                    Workers& team) {
    failed = 0;
    intact = true;
    Run run{archive ? os::identity(archive) : std::nullopt, intact};
    const std::optional<uint64_t> archive_size = archive ? os::size(archive) : std::nullopt;
    const size_t n = std::min(names.size(), offsets.size());
    std::vector<Decoded> batch[2];
    os::Memory memory;
    Window window;
    try {
        batch[0].resize(kBatchEntries);
        batch[1].resize(kBatchEntries);
    } catch (const std::bad_alloc&) {
        if (batch[1].empty()) return n ? 1 : 0;
    }
    size_t next = 0;  // the next entry to prepare
    size_t count[2] = {0, 0}, from[2] = {0, 0};
    auto fill = [&](int b) {
        from[b] = next;
        count[b] = std::min(kBatchEntries, n - next);
        next += count[b];
        holdBatch(archive, archive_size, window, offsets, from[b], count[b], batch[b]);
    };
    auto prepareTask = [&](int b) {
        return [&, b](unsigned i) {
            const size_t k = from[b] + i;
            prepareEntry(archive, archive_size, names[k], offsets[k], run, batch[b][i]);
        };
    };
    fill(0);
    team.run(unsigned(count[0]), prepareTask(0));
    for (int cur = 0; count[cur] > 0; cur ^= 1) {
        const int nb = cur ^ 1;
        fill(nb);
        // Entries of this batch take their places, in order, while the next
        // batch is made ready; a large entry waits for the whole team.
        size_t at = 0;
        int status = 0;
        auto writeSome = [&] {
            for (; at < count[cur]; ++at) {
                Decoded& r = batch[cur][at];
                if (r.state == Decoded::State::Large) return;
                status = writeEntry(names[from[cur] + at], r, run);
                if (status != 0) return;
            }
        };
        const auto prepareNext = prepareTask(nb);
        team.run(unsigned(count[nb] + 1), [&](unsigned t) {
            if (t == 0)
                writeSome();
            else
                prepareNext(t - 1);
        });
        while (status == 0 && at < count[cur]) {
            const size_t k = from[cur] + at;
            status = extractStreaming(archive, names[k], offsets[k], memory, team, run);
            if (status != 0) break;
            ++at;
            writeSome();
        }
        if (status != 0) {
            failed = from[cur] + at;
            return 1;
        }
    }
    return 0;
}

}  // namespace pelko
