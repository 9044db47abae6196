// Extracting one entry: the block is decoded into a temporary file beside
// the target, which is renamed over the target only when the block was read,
// checked and decoded completely, so a failure never destroys a file.
#include <cassert>
#include <condition_variable>
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

// The compressed block, read front to back by positioned reads, with the
// CRC-32 of everything read so far.
struct BlockInput {
    std::FILE* f;
    uint64_t pos;   // archive position of the next block byte
    uint64_t left;  // block bytes not yet read
    uint32_t crc = 0;

    bool read(uint8_t* dst, size_t n) {
        if (n == 0) return true;
        if (!os::readAt(f, pos, dst, n)) return false;
        crc = crc32Update(crc, dst, n);
        pos += n;
        left -= n;
        return true;
    }
    // Reads what is left, for its CRC only.
    bool drain() {
        uint8_t buf[1 << 16];
        while (left > 0)
            if (!read(buf, size_t(std::min<uint64_t>(left, sizeof buf)))) return false;
        return true;
    }
};

// A large entry goes through memory in pieces small enough to stay in the
// processor's cache: the block is read in slots of kInSlot bytes, and the
// output decoded in pieces of kOutPiece bytes, each written as soon as it is
// done. With two threads or more, one thread decodes while another reads,
// checks and writes, so that the two overlap piece by piece.
constexpr size_t kInSlot = size_t(768) << 10, kOutPiece = size_t(256) << 10;
constexpr size_t kInSlots = 2, kOutSlots = 4;
// The decoder moves on to the next slot when fewer bytes than this are left
// in the current one: they are copied in front of the next slot's bytes.
constexpr size_t kCarry = 4096;
static_assert(kInSlot >= kMaxBlockHeader && kCarry > 16);

// With two threads, a large entry of a complete code is decoded in stretches
// of kStretch bytes of its block, each thread taking the next stretch there
// is and writing its output where it belongs: see Stretches.
constexpr size_t kStretch = size_t(256) << 10;
// Stretches end anywhere in the output, but each is written in whole pages
// of the file, which the system takes at less cost: the bytes of the last
// page go with the next stretch's, written before its own.
constexpr size_t kPage = 4096;

// The slots' memory and the decoder's scratch, taken once per run in one
// block and reused for every large entry, since fresh memory costs a page
// fault per page.
struct PieceBuffers {
    os::Memory memory;
    uint8_t* in = nullptr;
    uint8_t* out = nullptr;
    std::span<uint8_t> scratch;
    // Room for each thread's stretch, laid out for each entry's code by
    // Stretches: the stretch's bytes, a page for the bytes it holds back for
    // the next stretch, and its guessed output, which becomes its true
    // output in place, with a page before it for the bytes held back by the
    // stretch before. The memory that a code with longer codes needs less
    // of is left untouched.
    uint8_t* rooms = nullptr;
    struct Stretch {
        uint8_t* in = nullptr;
        uint8_t* tail = nullptr;
        std::span<uint8_t> scratch;
        StretchGuess guess;
    } stretch[2];
};

uint8_t* inSlot(PieceBuffers& b, size_t j) {
    return b.in + (j % kInSlots) * (kCarry + kInSlot) + kCarry;
}

// The reading, decoding and writing of one large entry, and the hand-over
// between the thread that decodes and the one that does the rest. Alone, the
// decoding thread does the rest itself when it would otherwise wait.
class Pipeline {
public:
    Pipeline(BlockInput& in, os::File& out, PieceBuffers& buffers, bool alone)
        : in_(in), out_(out), buf_(buffers), alone_(alone), outSlots_(alone ? 1 : kOutSlots) {}

    // Slot 0 holds the block's first bytes, with its header; they are read
    // before the pipeline starts, which then makes `size` bytes.
    bool readFirst() {
        if (!readSlot()) return false;
        ++read_;
        return true;
    }
    std::span<const uint8_t> first() { return {inSlot(buf_, 0), len_[0]}; }
    void setSize(uint64_t size) {
        size_ = size;
        pieces_ = (size + kOutPiece - 1) / kOutPiece;
    }

    // Decodes the whole output from byte `at` of slot 0 on.
    bool decode(const StreamDecoder& dec, size_t at, const DecodeOptions& options) {
        size_t j = 0;  // the slot being decoded
        const uint8_t* p = inSlot(buf_, 0) + at;
        const uint8_t* end = inSlot(buf_, 0) + len_[0];
        unsigned bit = 0;
        for (uint64_t k = 0; k < pieces_; ++k) {
            if (!await([&] { return k - written_ < outSlots_; })) return false;
            uint8_t* o = buf_.out + (k % outSlots_) * kOutPiece;
            const size_t want = size_t(std::min<uint64_t>(kOutPiece, size_ - k * kOutPiece));
            for (size_t filled = 0; filled < want;) {
                // The last slot ends the block: the decoder reads zero bits
                // past it, as it does past the end of any block.
                const bool last = ends_[j % kInSlots];
                size_t avail = size_t(end - p);
                if (!last && avail < kCarry) {
                    if (!await([&] { return read_ > j + 1; })) return false;
                    uint8_t* next = inSlot(buf_, j + 1);
                    std::memmove(next - avail, p, avail);
                    p = next - avail;
                    end = next + len_[(j + 1) % kInSlots];
                    ++j;
                    release(j);
                    continue;
                }
                const size_t n = last ? want - filled : std::min(want - filled, avail - 16);
                std::optional<size_t> used =
                    decodeStreamPiece(dec, {p, avail}, bit, last, {o + filled, n}, options);
                if (!used) return fail();
                p += *used;
                filled += n;
            }
            publish();
        }
        return true;
    }

    // The other thread's part: reads and writes until the output is written
    // or either side fails.
    bool serve() {
        std::unique_lock lock(m_);
        for (;;) {
            if (failed_) return false;
            if (written_ == pieces_) return true;
            const bool canRead = read_ < consumed_ + kInSlots && in_.left > 0;
            // Reading comes first while the decoder has little ahead of it.
            if (canRead && (read_ < consumed_ + 2 || decoded_ == written_)) {
                lock.unlock();
                const bool ok = readSlot();
                lock.lock();
                if (!ok) return failLocked();
                ++read_;
                changed_.notify_one();
            } else if (decoded_ > written_) {
                lock.unlock();
                const bool ok = writePiece(written_);
                lock.lock();
                if (!ok) return failLocked();
                ++written_;
                changed_.notify_one();
            } else {
                changed_.wait(lock);
            }
        }
    }

    // After the decoder is done alone: writes what it left.
    bool finish() {
        while (written_ < decoded_)
            if (!writePiece(written_++)) return false;
        return true;
    }

    bool fail() {
        std::lock_guard lock(m_);
        return failLocked();
    }

private:
    bool failLocked() {
        failed_ = true;
        changed_.notify_one();
        return false;
    }

    bool readSlot() {
        const size_t s = read_ % kInSlots;
        len_[s] = size_t(std::min<uint64_t>(in_.left, kInSlot));
        const bool ok = in_.read(inSlot(buf_, read_), len_[s]);
        ends_[s] = in_.left == 0;
        return ok;
    }
    bool writePiece(uint64_t k) {
        const size_t n = size_t(std::min<uint64_t>(kOutPiece, size_ - k * kOutPiece));
        return out_.writeAll(buf_.out + (k % outSlots_) * kOutPiece, n);
    }

    // Waits until `ready` holds; alone, does the other thread's work until
    // then. False when a side failed.
    template <typename Ready>
    bool await(Ready ready) {
        if (alone_) {
            while (!ready()) {
                if (written_ < decoded_) {
                    if (!writePiece(written_++)) return false;
                } else if (read_ < consumed_ + kInSlots && in_.left > 0) {
                    if (!readSlot()) return false;
                    ++read_;
                } else {
                    return false;  // cannot happen: the decoder waits on one of these
                }
            }
            return true;
        }
        std::unique_lock lock(m_);
        changed_.wait(lock, [&] { return failed_ || ready(); });
        return !failed_;
    }
    void release(size_t j) {
        if (alone_) {
            consumed_ = j;
            return;
        }
        std::lock_guard lock(m_);
        consumed_ = j;
        changed_.notify_one();
    }
    void publish() {
        if (alone_) {
            ++decoded_;
            // Alone, each piece is written at once, from the one piece buffer.
            if (!writePiece(written_++)) failed_ = true;
            return;
        }
        std::lock_guard lock(m_);
        ++decoded_;
        changed_.notify_one();
    }

    BlockInput& in_;
    os::File& out_;
    PieceBuffers& buf_;
    const bool alone_;
    const size_t outSlots_;
    uint64_t size_ = 0, pieces_ = 0;
    std::mutex m_;
    std::condition_variable changed_;
    // Counts guarded by `m_` when not alone: slots read and released, pieces
    // decoded and written.
    size_t read_ = 0, consumed_ = 0;
    uint64_t decoded_ = 0, written_ = 0;
    bool failed_ = false;
    size_t len_[kInSlots] = {};
    bool ends_[kInSlots] = {};
};

// Cuts the last `rest` bytes off the first `count` of `runs`, copying them
// to `tail`; the runs left.
unsigned holdBack(std::span<const uint8_t>* runs, unsigned count, size_t rest, uint8_t* tail) {
    while (rest > 0 && count > 0) {
        std::span<const uint8_t>& r = runs[count - 1];
        const size_t take = std::min(rest, r.size());
        rest -= take;
        std::memcpy(tail + rest, r.data() + r.size() - take, take);
        r = r.first(r.size() - take);
        if (r.empty()) --count;
    }
    return count;
}

// Two threads decoding one entry, each a stretch at a time: it reads the
// stretch and checks its bytes, guesses its output while the other thread
// works on the one before, joins it onto the true decode as soon as the one
// before is joined, and writes its output at its place in the file. The
// stretch at the block's end is decoded from the true position, to the
// size the header gives. A stored block, whose every code is its own byte,
// needs neither guess nor join: each stretch is written as it was read.
class Stretches {
public:
    Stretches(BlockInput& in, os::File& out, PieceBuffers& buffers, const StreamDecoder& dec,
              uint32_t headCrc)
        : in_(in), out_(out), buf_(buffers), dec_(dec), crc_(headCrc) {
        start_ = in.pos + dec.header_len;
        streamLen_ = in.left - dec.header_len;
        guessed_ =
            streamLen_ >= kStretch + kStretchTail ? (streamLen_ - kStretchTail) / kStretch : 0;
        const size_t in_bytes = kStretch + kStretchTail,
                     room = stretchRoom(kStretch, dec.min_length);
        uint8_t* at = buffers.rooms;
        for (PieceBuffers::Stretch& b : buffers.stretch) {
            b.in = at;
            b.tail = at + in_bytes;
            b.scratch = {b.tail + 2 * kPage, room};
            at += in_bytes + 2 * kPage + room;
        }
    }

    // Worth it where one stretch at least is guessed.
    bool worth() const { return guessed_ > 0; }

    // Thread `t`'s part, 0 or 1.
    bool run(unsigned t) {
        PieceBuffers::Stretch& room = buf_.stretch[t];
        for (;;) {
            size_t i;
            {
                std::lock_guard lock(m_);
                if (failed_ || made_ == dec_.size || next_ > guessed_) return !failed_;
                i = next_++;
            }
            const uint64_t from = uint64_t(i) * kStretch;
            const bool last = i == guessed_;
            const size_t own = last ? size_t(streamLen_ - from) : kStretch;
            const size_t have = last ? own : own + kStretchTail;
            bool ok = os::readAt(in_.f, start_ + from, room.in, have);
            const uint32_t crc = ok ? crc32(room.in, own) : 0;
            if (ok && !last && !dec_.identity)
                guessStretch(dec_, {room.in, have}, 8 * from, own, room.scratch, room.guess);
            uint64_t pos, at;
            size_t lead;  // bytes of the output's last page so far, put before this stretch's
            {
                std::unique_lock lock(m_);
                turn_.wait(lock, [&] { return failed_ || joined_ == i; });
                if (failed_ || made_ == dec_.size) return !failed_;
                if (!ok) return failLocked();
                pos = pos_;
                at = made_;
                lead = size_t(at % kPage);
                std::memcpy(room.scratch.data() - lead, page_, lead);
            }
            if (last) {
                ok = decodeLast(room, from, have, pos, at, lead, crc);
            } else {
                std::span<const uint8_t> runs[1 + kStretchParts];
                runs[0] = {room.scratch.data() - lead, lead};
                unsigned count = 0;
                size_t n;
                if (dec_.identity) {
                    // Stored bytes, a byte a code: the stretch is its own
                    // output, from where the true decode stands.
                    const size_t skip = size_t(std::min<uint64_t>(pos / 8 - from, own));
                    n = size_t(std::min<uint64_t>(own - skip, dec_.size - at));
                    runs[1] = {room.in + skip, n};
                    count = 1;
                    pos += 8 * uint64_t{n};
                } else {
                    n = joinStretch(dec_, {room.in, have}, room.guess, pos,
                                    size_t(std::min<uint64_t>(room.scratch.size(), dec_.size - at)),
                                    runs + 1, count);
                }
                // Whole pages only, but for the output's end: the rest of
                // the last page goes with the next stretch's.
                const size_t rest = at + n == dec_.size ? 0 : size_t((at + n) % kPage);
                count = holdBack(runs, 1 + count, rest, room.tail);
                publish(i, pos, at + n, crc, own, room.tail, rest);
                ok = out_.writeAt(at - lead, {runs, count});
            }
            if (!ok) return fail();
        }
    }

    // Where the checked bytes end and their CRC, for the rest of the block
    // to be read for it.
    void settle() {
        in_.pos = start_ + checked_;
        in_.left = streamLen_ - checked_;
        in_.crc = crc_;
    }

private:
    // The last stretch, from the true position to the end of the output,
    // written a room at a time; the block's end is in `room.in`.
    bool decodeLast(PieceBuffers::Stretch& room, uint64_t from, size_t have, uint64_t pos,
                    uint64_t at, size_t lead, uint32_t crc) {
        // At most a stretch and its tail: serially, which leaves the
        // interleaved decoder's scratch, and its fresh pages, untouched.
        DecodeOptions options;
        options.path = DecodePath::Serial;
        const size_t skip = size_t(std::min<uint64_t>(pos / 8 - from, have));
        std::span<const uint8_t> rest{room.in + skip, have - skip};
        unsigned bit = pos % 8;
        while (at < dec_.size) {
            const size_t n = size_t(std::min<uint64_t>(room.scratch.size(), dec_.size - at));
            std::optional<size_t> used =
                decodeStreamPiece(dec_, rest, bit, true, room.scratch.first(n), options);
            if (!used || !out_.writeAt(at - lead, room.scratch.data() - lead, lead + n))
                return false;
            rest = rest.subspan(*used);
            at += n;
            lead = 0;
        }
        publish(guessed_, pos, at, crc, have, nullptr, 0);
        return true;
    }

    // Makes stretch `i` joined, with the bytes of the output's last page
    // that are not written yet.
    void publish(size_t i, uint64_t pos, uint64_t made, uint32_t crc, size_t own,
                 const uint8_t* rest, size_t restLen) {
        std::lock_guard lock(m_);
        joined_ = i + 1;
        pos_ = pos;
        made_ = made;
        crc_ = crc32Combine(crc_, crc, own);
        checked_ += own;
        if (restLen) std::memcpy(page_, rest, restLen);
        turn_.notify_all();
    }
    bool fail() {
        std::lock_guard lock(m_);
        return failLocked();
    }
    bool failLocked() {
        failed_ = true;
        turn_.notify_all();
        return false;
    }

    BlockInput& in_;
    os::File& out_;
    PieceBuffers& buf_;
    const StreamDecoder& dec_;
    uint64_t start_ = 0, streamLen_ = 0;  // the stream's place in the archive
    size_t guessed_ = 0;                  // stretches before the last
    std::mutex m_;
    std::condition_variable turn_;
    // Guarded by `m_`: the next stretch to take, the stretches joined, where
    // the true decode stands after them and the output it made, the CRC of
    // the block up to their end and their stream bytes.
    size_t next_ = 0, joined_ = 0;
    uint64_t pos_ = 0, made_ = 0;
    uint32_t crc_ = 0;
    uint64_t checked_ = 0;
    bool failed_ = false;
    uint8_t page_[kPage];
};

// Room for the slots and the stretches; false when memory cannot be had.
bool prepareBuffers(PieceBuffers& b) {
    if (b.in) return true;
    const size_t in = kInSlots * (kCarry + kInSlot), out = kOutSlots * kOutPiece;
    const size_t scratch = decodeScratchBytes(1);
    const size_t stretchIn = kStretch + kStretchTail, room = stretchRoom(kStretch);
    const size_t stretch = stretchIn + 2 * kPage + room;
    b.memory = os::allocateMemory(std::size(b.stretch) * stretch + in + out + scratch);
    if (!b.memory.data()) return false;
    // The stretches' rooms first, so that two threads touch the fewest large
    // pages of the block: each costs its zeroing at its first touch.
    b.rooms = b.memory.data();
    b.in = b.rooms + std::size(b.stretch) * stretch;
    b.out = b.in + in;
    b.scratch = {b.out + out, scratch};
    return true;
}

// Decodes the block into `out`. False when the block cannot be read or
// decoded, memory cannot be had, or the output cannot be written.
bool decodeTo(BlockInput& in, os::File& out, PieceBuffers& buffers, Workers* team) {
    if (!prepareBuffers(buffers)) return false;
    const bool alone = !team || team->size() < 2;
    const uint64_t block_len = in.left;
    uint8_t head[kMaxBlockHeader];
    const size_t head_len = size_t(std::min<uint64_t>(block_len, sizeof head));
    if (!os::readAt(in.f, in.pos, head, head_len)) return false;
    std::optional<StreamDecoder> dec = startStreamDecode({head, head_len}, block_len);
    if (!dec) return false;
    if (!alone && ((dec->complete && !dec->bulk.empty()) || dec->identity)) {
        Stretches stretches(in, out, buffers, *dec, crc32(head, dec->header_len));
        if (stretches.worth()) {
            bool ok[2] = {false, false};
            team->run(2, [&](unsigned t) { ok[t] = stretches.run(t); });
            stretches.settle();
            return ok[0] && ok[1];
        }
    }
    Pipeline pipe(in, out, buffers, alone);
    if (!pipe.readFirst()) return false;
    pipe.setSize(dec->size);
    // The decoder shares no work with the team: its thread is one of the two.
    DecodeRate rate;
    DecodeOptions options;
    options.scratchRoom = buffers.scratch;
    options.rate = &rate;
    const size_t at = std::min(dec->header_len, pipe.first().size());
    if (alone) return pipe.decode(*dec, at, options) && pipe.finish();
    bool decoded = false, served = false;
    team->run(2, [&](unsigned t) {
        if (t == 0) {
            decoded = pipe.decode(*dec, at, options);
            if (!decoded) pipe.fail();
        } else {
            served = pipe.serve();
        }
    });
    return decoded && served;
}

// Entries whose block and output both fit these are decoded in memory,
// several at once on the team; larger ones are decoded straight into their
// files one at a time, decoding overlapped with reading and writing.
constexpr uint64_t kSmallBlock = uint64_t(1) << 20, kSmallOutput = uint64_t(1) << 20;
constexpr size_t kBatchEntries = 32;
// Two batches' files and a large entry's are made and not yet committed at
// most.
static_assert(2 * kBatchEntries + 1 <= os::kOutputsAtOnce);

// Extracting one entry from the open archive, as archExtractFile does;
// `buffers` serve the run; the decoding overlaps with the reading and
// writing when `team` has two threads or more.
int extractStreaming(std::FILE* archive, const std::string& out, uint64_t offset,
                     PieceBuffers& buffers, Workers* team, Run& run) {
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
    BlockInput in{archive, offset + kEntryFieldBytes, block_len};
    bool decoded = decodeTo(in, tmp.out.file, buffers, team);
    // The CRC covers the whole block, so what decoding left unread is read
    // for it too; the warning comes before any failure is reported.
    if (!in.drain()) return 1;
    if (in.crc != crc) {
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

int archExtractFile(std::FILE* archive, const std::string& out, uint64_t offset) {
    PieceBuffers buffers;
    bool intact = true;
    Run run{archive ? os::identity(archive) : std::nullopt, intact};
    return extractStreaming(archive, out, offset, buffers, nullptr, run);
}

int archExtractFiles(std::FILE* archive, const std::vector<std::string>& names,
                     const std::vector<uint64_t>& offsets, size_t& failed, bool& intact,
                     Workers& team) {
    failed = 0;
    intact = true;
    Run run{archive ? os::identity(archive) : std::nullopt, intact};
    const std::optional<uint64_t> archive_size = archive ? os::size(archive) : std::nullopt;
    const size_t n = std::min(names.size(), offsets.size());
    std::vector<Decoded> batch[2];
    PieceBuffers buffers;
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
            status = extractStreaming(archive, names[k], offsets[k], buffers, &team, run);
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
