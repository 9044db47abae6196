// The operating-system layer on Windows: names are UTF-8 inside the program
// and UTF-16 at every call, handles are opened binary with every sharing mode
// (so a rename can replace a file another run still reads), offsets are 64
// bits, and the commit is MoveFileExW over the archive, never a copy in place.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "os/os.h"

namespace pelko::os {
namespace {

HANDLE handleOf(const File& f) {
    return reinterpret_cast<HANDLE>(f.native());
}

File fileOf(HANDLE h) {
    return File(h == INVALID_HANDLE_VALUE ? std::intptr_t(-1) : reinterpret_cast<std::intptr_t>(h));
}

// UTF-8 to UTF-16; nullopt for bytes that are not UTF-8, which no Windows
// name can hold.
std::optional<std::wstring> widen(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), int(s.size()), nullptr, 0);
    if (n <= 0) return std::nullopt;
    try {
        std::wstring w(size_t(n), L'\0');
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), int(s.size()), w.data(), n);
        return w;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE openPath(const std::string& path, DWORD access, DWORD disposition, DWORD flags = 0) {
    std::optional<std::wstring> w = widen(path);
    if (!w) {
        ::SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return ::CreateFileW(w->c_str(), access, kShareAll, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

Error errorOf(DWORD e) {
    switch (e) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return Error::Missing;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return Error::Exists;
        default:
            return Error::Other;
    }
}

// At most this many bytes go to one ReadFile or WriteFile call.
constexpr size_t kMaxCall = size_t(1) << 30;

bool filePointer(HANDLE h, int64_t distance, DWORD method, uint64_t* result = nullptr) {
    LARGE_INTEGER d, r;
    d.QuadPart = distance;
    if (!::SetFilePointerEx(h, d, &r, method)) return false;
    if (result) *result = uint64_t(r.QuadPart);
    return true;
}

// FILETIME counts 100 ns from 1601; the format stores seconds from 1970 in
// 32 bits.
constexpr int64_t kEpochDifference = 116444736000000000LL;

uint32_t unixSeconds(int64_t filetime) {
    return uint32_t((filetime - kEpochDifference) / 10000000);
}

std::optional<FileInfo> infoOf(HANDLE h) {
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    BY_HANDLE_FILE_INFORMATION id;
    if (!::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
        !::GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard) ||
        !::GetFileInformationByHandle(h, &id))
        return std::nullopt;
    FileInfo info;
    // Only plain files on a disk: not directories, devices, pipes or consoles.
    info.regular = ::GetFileType(h) == FILE_TYPE_DISK && !standard.Directory &&
                   !(basic.FileAttributes & FILE_ATTRIBUTE_DEVICE);
    info.size = uint64_t(standard.EndOfFile.QuadPart);
    // As POSIX would show a file that only the read-only attribute guards.
    info.permissions = (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    info.device = id.dwVolumeSerialNumber;
    info.inode = (uint64_t(id.nFileIndexHigh) << 32) | id.nFileIndexLow;
    info.ctime = unixSeconds(basic.CreationTime.QuadPart);
    info.mtime = unixSeconds(basic.LastWriteTime.QuadPart);
    info.change_ns = (basic.ChangeTime.QuadPart - kEpochDifference) * 100;
    info.modify_ns = (basic.LastWriteTime.QuadPart - kEpochDifference) * 100;
    return info;
}

bool isSeparator(wchar_t c) {
    return c == L'/' || c == L'\\';
}

// The full path of the open file `h`, with the names the file system keeps.
std::optional<std::wstring> finalPathOf(HANDLE h) {
    std::wstring out(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD n = ::GetFinalPathNameByHandleW(h, out.data(), DWORD(out.size()), 0);
        if (n == 0) return std::nullopt;
        if (n < out.size()) {
            out.resize(n);
            return out;
        }
        out.resize(n + 1);
    }
    return std::nullopt;
}

// UTF-16 to UTF-8, for names the system gives back.
std::string narrow(const std::wstring& w) {
    int n =
        ::WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(size_t(std::max(n, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

bool isReparsePoint(HANDLE h) {
    FILE_BASIC_INFO basic;
    return !::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
           (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Opens the directory `dir` below the current directory, one component at a
// time, refusing any that is a link or junction. The last one stays open
// without delete sharing, which keeps it and every directory above it from
// being renamed or replaced until the output is done. A link the system does
// not report as one (Wine shows the host's symbolic links as plain
// directories) still cannot lead elsewhere: the directory opened must have
// the current directory's final path followed by the components walked.
File openDirBeneath(const std::wstring& dir, Error* err) {
    *err = Error::None;
    std::wstring walked = L".", expected;
    auto openDir = [](const std::wstring& p, DWORD flags) {
        return fileOf(::CreateFileW(p.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
    };
    File base = openDir(walked, 0);
    File cur = openDir(walked, 0);
    for (size_t pos = 0; cur.isOpen() && pos < dir.size();) {
        size_t end = pos;
        while (end < dir.size() && !isSeparator(dir[end])) ++end;
        std::wstring part = dir.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty() || part == L".") continue;
        if (part == L"..") {
            *err = Error::Unsafe;
            return File();
        }
        walked += L"\\" + part;
        expected += L"\\" + part;
        cur = openDir(walked, FILE_FLAG_OPEN_REPARSE_POINT);
        if (cur.isOpen() && isReparsePoint(handleOf(cur))) {
            *err = Error::Unsafe;
            return File();
        }
    }
    if (!cur.isOpen() || !base.isOpen()) {
        *err = errorOf(::GetLastError());
        return File();
    }
    std::optional<std::wstring> here = finalPathOf(handleOf(base)),
                                got = finalPathOf(handleOf(cur));
    if (here && !here->empty() && isSeparator(here->back())) here->pop_back();
    if (!here || !got) {
        *err = Error::Other;
        return File();
    }
    *here += expected;
    if (::CompareStringOrdinal(here->data(), int(here->size()), got->data(), int(got->size()),
                               TRUE) != CSTR_EQUAL) {
        *err = Error::Unsafe;
        return File();
    }
    return cur;
}

// Whether the name `path` leads, without following a link there, to the file
// `info` describes.
bool leadsTo(const std::wstring& path, const FileInfo& info) {
    File f =
        fileOf(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    std::optional<FileInfo> now = f.isOpen() ? infoOf(handleOf(f)) : std::nullopt;
    return now && !isReparsePoint(handleOf(f)) && now->device == info.device &&
           now->inode == info.inode;
}

// The directory part of a relative path, with its separator; may be empty.
std::string directoryPart(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// Whether `path`, not followed if it is a link or junction, is the file
// `spare`: the same volume serial number and file index.
bool isSpared(const std::string& path, const std::optional<FileId>& spare) {
    if (!spare) return false;
    File f = fileOf(openPath(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
    std::optional<FileInfo> info = f.isOpen() ? infoOf(handleOf(f)) : std::nullopt;
    return info && info->id() == *spare;
}

}  // namespace

File& File::operator=(File&& o) noexcept {
    if (this != &o) {
        if (isOpen()) ::CloseHandle(handleOf(*this));
        native_ = o.release();
    }
    return *this;
}

File::~File() {
    if (isOpen()) ::CloseHandle(handleOf(*this));
}

bool File::close() {
    std::intptr_t f = release();
    return f != kInvalid && ::CloseHandle(reinterpret_cast<HANDLE>(f));
}

bool File::readAll(void* buf, size_t n) {
    auto p = static_cast<uint8_t*>(buf);
    while (n > 0) {
        DWORD got = 0;
        if (!::ReadFile(handleOf(*this), p, DWORD(std::min(n, kMaxCall)), &got, nullptr) ||
            got == 0)
            return false;
        p += got;
        n -= got;
    }
    return true;
}

bool File::writeAll(const void* data, size_t n) {
    auto p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        DWORD put = 0;
        if (!::WriteFile(handleOf(*this), p, DWORD(std::min(n, kMaxCall)), &put, nullptr) ||
            put == 0)
            return false;
        p += put;
        n -= put;
    }
    return true;
}

// ReadFile at an offset moves a synchronous handle's position, so it is put
// back afterwards.
bool File::readAt(uint64_t offset, void* buf, size_t n) {
    HANDLE h = handleOf(*this);
    uint64_t here = 0;
    if (!filePointer(h, 0, FILE_CURRENT, &here)) return false;
    auto p = static_cast<uint8_t*>(buf);
    bool ok = true;
    while (ok && n > 0) {
        OVERLAPPED at{};
        at.Offset = DWORD(offset);
        at.OffsetHigh = DWORD(offset >> 32);
        DWORD got = 0;
        ok = ::ReadFile(h, p, DWORD(std::min(n, kMaxCall)), &got, &at) && got > 0;
        p += got;
        n -= got;
        offset += got;
    }
    return filePointer(h, int64_t(here), FILE_BEGIN) && ok;
}

bool File::writeAt(uint64_t offset, const void* data, size_t n) {
    auto p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        OVERLAPPED at{};
        at.Offset = DWORD(offset);
        at.OffsetHigh = DWORD(offset >> 32);
        DWORD put = 0;
        if (!::WriteFile(handleOf(*this), p, DWORD(std::min(n, kMaxCall)), &put, &at) || put == 0)
            return false;
        p += put;
        n -= put;
        offset += put;
    }
    return true;
}

bool File::writeAt(uint64_t offset, std::span<const std::span<const uint8_t>> parts) {
    for (std::span<const uint8_t> part : parts) {
        if (!part.empty() && !writeAt(offset, part.data(), part.size())) return false;
        offset += part.size();
    }
    return true;
}

bool File::seek(uint64_t offset) {
    return filePointer(handleOf(*this), int64_t(offset), FILE_BEGIN);
}

std::optional<uint64_t> File::size() {
    LARGE_INTEGER s;
    if (!::GetFileSizeEx(handleOf(*this), &s)) return std::nullopt;
    return uint64_t(s.QuadPart);
}

bool File::truncate(uint64_t size) {
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = int64_t(size);
    return ::SetFileInformationByHandle(handleOf(*this), FileEndOfFileInfo, &end, sizeof end);
}

bool File::sync() {
    return ::FlushFileBuffers(handleOf(*this));
}

// Windows has no call that starts writeback without waiting for it.
void File::startWriteback(uint64_t, uint64_t) {}

// Opening does not wait on a pipe or a device; what is not a disk file is
// turned away by fileInfo before anything is read.
File openInput(const std::string& path) {
    return fileOf(openPath(path, GENERIC_READ, OPEN_EXISTING));
}

// Windows files carry no permission bits to give; the working copy sits
// beside the archive's name as given, and is reached by that name.
std::optional<NewFile> createWorkingCopy(HeldArchive& archive) {
    for (int n = 0; n < 256; ++n) {
        std::string name = archive.path + ".swp" + std::to_string(n);
        HANDLE h = openPath(name, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
        if (h != INVALID_HANDLE_VALUE) return NewFile{name, name, fileOf(h)};
        if (errorOf(::GetLastError()) != Error::Exists) return std::nullopt;
    }
    return std::nullopt;
}

void removeWorkingCopy(HeldArchive&, NewFile& copy) {
    std::optional<FileInfo> mine = copy.file.isOpen() ? infoOf(handleOf(copy.file)) : std::nullopt;
    std::optional<std::wstring> w = widen(copy.leaf);
    copy.file.close();
    if (w && (!mine || leadsTo(*w, *mine))) ::DeleteFileW(w->c_str());
}

bool copyContents(File& in, File& out) {
    std::vector<uint8_t> buf;
    try {
        buf.resize(size_t(1) << 20);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(handleOf(in), buf.data(), DWORD(buf.size()), &got, nullptr)) return false;
        if (got == 0) return true;
        if (!out.writeAll(buf.data(), got)) return false;
    }
}

// Another program (a virus scanner, an indexer, a reader that did not share
// deletion) may hold the archive for a moment: the rename is tried a few
// times, and then the commit fails. It is never done as a copy in place,
// which a crash would leave half written, so `extends` is not needed. NTFS
// does not rename over a file that a handle holds open, so the archive's
// handle is closed just before the rename; the lock stays held.
Commit commitArchive(HeldArchive& archive, NewFile& copy, std::optional<uint64_t>) {
    std::optional<std::wstring> from = widen(copy.leaf), to = widen(archive.leaf);
    std::optional<FileInfo> mine = infoOf(handleOf(copy.file));
    if (!from || !to || !mine || !copy.file.sync() || !leadsTo(*from, *mine)) return Commit::Failed;
    if (archive.locked) {
        // Only the file that was locked and read is replaced, and replacing
        // it takes what writing it would take: a read-only archive stays (the
        // attribute is checked too, as Wine lets an administrator write it).
        File old = fileOf(
            ::CreateFileW(to->c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        std::optional<FileInfo> info = old.isOpen() ? infoOf(handleOf(old)) : std::nullopt;
        if (!info || !info->regular || !(info->permissions & 0200) ||
            isReparsePoint(handleOf(old)) || info->device != archive.locked->device ||
            info->inode != archive.locked->inode)
            return Commit::Failed;
        old.close();
        archive.file.close();
    }
    if (!copy.file.close()) return Commit::Failed;
    const DWORD flags =
        MOVEFILE_WRITE_THROUGH | (archive.locked ? MOVEFILE_REPLACE_EXISTING : DWORD(0));
    for (int attempt = 0;; ++attempt) {
        if (::MoveFileExW(from->c_str(), to->c_str(), flags)) return Commit::Done;
        DWORD e = ::GetLastError();
        if (!archive.locked && errorOf(e) == Error::Exists) return Commit::Taken;
        if ((e != ERROR_SHARING_VIOLATION && e != ERROR_LOCK_VIOLATION &&
             e != ERROR_ACCESS_DENIED) ||
            attempt == 5)
            return Commit::Failed;
        ::Sleep(DWORD(20) << attempt);
    }
}

// Every output is made beside its target, whatever the placement asked. The
// temporary file is marked for deletion from its creation on, so that
// however the run ends (Ctrl+C, a closed console, a crash), the system
// removes it; the commit takes the mark back just before the rename.
std::optional<Output> createOutput(const std::string& path, Error* err, std::optional<FileId> spare,
                                   Placement) {
    Error e = Error::None;
    const std::string dir = directoryPart(path);
    std::optional<std::wstring> wdir = widen(dir);
    Output out;
    out.leaf = path.substr(dir.size());
    out.spare = spare;
    out.dir = std::make_shared<File>(wdir ? openDirBeneath(*wdir, &e) : File());
    // The directory stays open without delete sharing, so `path` keeps
    // leading through it while the output is made.
    if (out.dir->isOpen() && isSpared(path, spare)) {
        e = Error::Unsafe;
    } else if (out.dir->isOpen() && !out.leaf.empty()) {
        std::string prefix = dir + ".pelko-tmp" + std::to_string(::GetCurrentProcessId()) + "-";
        for (int n = 0; n < 256; ++n) {
            out.temp = prefix + std::to_string(n);
            std::optional<std::wstring> wtemp = widen(out.temp);
            if (!wtemp) break;
            HANDLE h = ::CreateFileW(wtemp->c_str(), GENERIC_WRITE | DELETE, kShareAll, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h != INVALID_HANDLE_VALUE) {
                out.file = fileOf(h);
                FILE_DISPOSITION_INFO gone{TRUE};
                if (::SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone))
                    out.guard = 0;  // marked: closing the file removes it
                return out;
            }
            if (errorOf(::GetLastError()) != Error::Exists) break;
        }
        out.temp.clear();
        e = Error::Other;
    }
    if (err) *err = e == Error::None ? Error::Other : e;
    return std::nullopt;
}

// A link in the target's place is replaced, not followed; a read-only file
// is not replaced. Windows refuses that rename itself, Wine does not.
bool commitOutput(Output& out, Error* err) {
    std::optional<std::wstring> temp = widen(out.temp);
    std::optional<std::wstring> target = widen(directoryPart(out.temp) + out.leaf);
    if (!temp || !target) return false;
    if (isSpared(directoryPart(out.temp) + out.leaf, out.spare)) {
        if (err) *err = Error::Unsafe;
        return false;
    }
    DWORD attributes = ::GetFileAttributesW(target->c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    FILE_DISPOSITION_INFO keep{FALSE};
    if (out.guard >= 0 &&
        !::SetFileInformationByHandle(handleOf(out.file), FileDispositionInfo, &keep, sizeof keep))
        return false;
    out.guard = -1;
    if (!out.file.close() ||
        !::MoveFileExW(temp->c_str(), target->c_str(), MOVEFILE_REPLACE_EXISTING))
        return false;
    out.temp.clear();
    return true;
}

void discardOutput(Output& out) {
    // Closing the file removes it while it is still marked; otherwise it is
    // removed by name.
    bool marked = out.guard >= 0;
    out.file.close();
    if (!marked && !out.temp.empty()) removeFile(out.temp);
    out.temp.clear();
    out.guard = -1;
}

// Windows has no file-size limit signal: a write beyond a quota just fails.
void treatFileSizeLimitAsWriteError() {}

bool removeFile(const std::string& path) {
    std::optional<std::wstring> w = widen(path);
    return w && ::DeleteFileW(w->c_str());
}

std::optional<FileInfo> fileInfo(File& f) {
    return infoOf(handleOf(f));
}

std::optional<FileId> identity(std::FILE* f) {
    std::optional<FileInfo> info = infoOf(reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(f))));
    if (!info) return std::nullopt;
    return info->id();
}

std::optional<FileInfo> pathInfo(const std::string& path) {
    File f =
        fileOf(openPath(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    if (!f.isOpen()) return std::nullopt;
    return infoOf(handleOf(f));
}

// Streams sit on C runtime descriptors, always in binary mode: a text-mode
// read stops at byte 0x1A and a text-mode write turns "\n" into "\r\n".
FilePtr openStream(const std::string& path, const char* mode) {
    std::string m = mode;
    if (m.find('b') == std::string::npos) m += 'b';
    std::optional<std::wstring> w = widen(path), wm = widen(m);
    if (!w || !wm) return nullptr;
    FilePtr f(::_wfopen(w->c_str(), wm->c_str()));
    if (f) std::setvbuf(f.get(), nullptr, _IOFBF, 1 << 16);
    return f;
}

FilePtr streamOf(File& file, const char* mode) {
    if (!file.isOpen()) return nullptr;
    HANDLE second = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handleOf(file), ::GetCurrentProcess(), &second, 0,
                           FALSE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    File f = fileOf(second);
    if (!f.seek(0)) return nullptr;
    return toStream(std::move(f), mode);
}

FilePtr toStream(File&& file, const char* mode) {
    std::string m = mode;
    if (m.find('b') == std::string::npos) m += 'b';
    int flags =
        m.find('r') != std::string::npos && m.find('+') == std::string::npos ? _O_RDONLY : 0;
    int fd = ::_open_osfhandle(file.native(), flags | _O_BINARY);
    if (fd < 0) return nullptr;  // `file` still owns the handle and closes it
    file.release();
    ::_setmode(fd, _O_BINARY);
    FilePtr f(::_fdopen(fd, m.c_str()));
    if (!f) {
        ::_close(fd);
        return nullptr;
    }
    std::setvbuf(f.get(), nullptr, _IOFBF, 1 << 16);
    return f;
}

bool seek(std::FILE* f, int64_t offset, int whence) {
    return ::_fseeki64(f, offset, whence) == 0;
}

std::optional<uint64_t> tell(std::FILE* f) {
    int64_t p = ::_ftelli64(f);
    if (p < 0) return std::nullopt;
    return uint64_t(p);
}

std::optional<uint64_t> size(std::FILE* f) {
    int64_t s = ::_filelengthi64(::_fileno(f));
    if (s < 0) return std::nullopt;
    return uint64_t(s);
}

bool truncate(std::FILE* f, uint64_t size) {
    if (std::fflush(f) != 0) return false;
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = int64_t(size);
    auto h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(f)));
    return ::SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end) &&
           ::_fseeki64(f, int64_t(size), SEEK_SET) == 0;
}

void startWriteback(std::FILE*, uint64_t, uint64_t) {}

Memory::~Memory() {
    if (base_) ::VirtualFree(base_, 0, MEM_RELEASE);
}

// Large pages need a privilege that ordinary accounts lack: plain pages.
Memory allocateMemory(size_t n) {
    Memory m;
    if (n == 0) return m;
    void* base = ::VirtualAlloc(nullptr, n, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!base) return m;
    m.base_ = base;
    m.mapped_ = n;
    m.data_ = static_cast<uint8_t*>(base);
    m.size_ = n;
    return m;
}

// ReadFile at an offset moves the handle's position, on which the stream
// relies: it is put back, under a lock because threads share the stream.
bool readAt(std::FILE* f, uint64_t offset, void* buf, size_t n) {
    static std::mutex positions;
    std::lock_guard<std::mutex> held(positions);
    File borrowed(::_get_osfhandle(::_fileno(f)));
    bool ok = borrowed.isOpen() && borrowed.readAt(offset, buf, n);
    borrowed.release();
    return ok;
}

// LockFileEx needs an open file, and neither end of a run has one that
// lasts: the archive may not exist yet, and NTFS will not rename over a file
// that a handle holds open, so holding the archive through the commit would
// block the commit itself. The lock is a named mutex per archive instead,
// named after the archive's full path as given (the same whether or not the
// archive exists yet, so that first adds take turns too). The system gives
// it to the next waiter when its holder ends, however it ends.
std::optional<HeldArchive> holdArchive(const std::string& path) {
    std::optional<std::wstring> w = widen(path);
    if (!w) return std::nullopt;
    std::wstring full(32768, L'\0');
    DWORD n = ::GetFullPathNameW(w->c_str(), DWORD(full.size()), full.data(), nullptr);
    if (n == 0 || n >= full.size()) return std::nullopt;
    full.resize(n);
    std::wstring key = full;
    std::replace(key.begin(), key.end(), L'/', L'\\');
    // Names differ in case only as the same file: FNV-1a over the upper case.
    ::CharUpperBuffW(key.data(), DWORD(key.size()));
    uint64_t hash = 14695981039346656037ull;
    for (wchar_t c : key) {
        hash ^= uint16_t(c);
        hash *= 1099511628211ull;
    }
    wchar_t name[64];
    std::swprintf(name, 64, L"Local\\pelko-archive-%016llx", (unsigned long long)hash);
    HeldArchive a;
    a.path = path;
    a.lock = fileOf(::CreateMutexW(nullptr, FALSE, name));
    if (!a.lock.isOpen() || a.lock.native() == 0) {
        a.lock.release();
        return std::nullopt;
    }
    DWORD r = ::WaitForSingleObject(handleOf(a.lock), INFINITE);
    if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) return std::nullopt;
    // The archive is found once, here: a link in its place is followed now,
    // and the commit replaces the file it led to, if that is still there.
    a.file = fileOf(openPath(path, GENERIC_READ, OPEN_EXISTING));
    if (!a.file.isOpen()) {
        if (errorOf(::GetLastError()) != Error::Missing) return std::nullopt;
        a.leaf = narrow(full);
        return a;
    }
    std::optional<FileInfo> info = infoOf(handleOf(a.file));
    if (!info) return std::nullopt;
    std::optional<std::wstring> real = finalPathOf(handleOf(a.file));
    a.locked = info;
    a.leaf = narrow(real ? *real : full);
    return a;
}

namespace {
// UTF-16 to UTF-8. A lone surrogate, which no file name typed in UTF-8 can
// match, becomes U+FFFD.
std::string narrow(const wchar_t* w) {
    const int len = int(std::wcslen(w));
    int n = ::WideCharToMultiByte(CP_UTF8, 0, w, len, nullptr, 0, nullptr, nullptr);
    std::string a(size_t(std::max(n, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w, len, a.data(), n, nullptr, nullptr);
    return a;
}
}  // namespace

std::vector<std::string> arguments(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(narrow(argv[i]));
    return args;
}

// FindFirstFileW matches as `dir` does: regardless of case, and `*.*` also
// matches names without a dot. It lists the matches in the file system's
// order, which is upper-case order only on NTFS, so they are sorted here.
std::vector<std::string> expandWildcards(const std::string& arg) {
    const size_t cut = arg.find_last_of("/\\:");
    const size_t leaf = cut == std::string::npos ? 0 : cut + 1;
    std::optional<std::wstring> pattern = widen(arg);
    if (!pattern || arg.find_first_of("*?", leaf) == std::string::npos ||
        arg.find_first_of("*?") < leaf)
        return {arg};
    WIN32_FIND_DATAW found;
    HANDLE h = ::FindFirstFileExW(pattern->c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                  nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) return {arg};
    std::vector<std::wstring> names;
    do {
        if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0)
            names.emplace_back(found.cFileName);
    } while (::FindNextFileW(h, &found));
    ::FindClose(h);
    if (names.empty()) return {arg};
    std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
        int order =
            ::CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE);
        return order != CSTR_EQUAL ? order == CSTR_LESS_THAN : a < b;
    });
    std::vector<std::string> out;
    for (const std::wstring& name : names)
        out.push_back(arg.substr(0, leaf) + narrow(name.c_str()));
    return out;
}

namespace {
UINT savedConsoleCodePage = 0;
void restoreConsoleCodePage() {
    ::SetConsoleOutputCP(savedConsoleCodePage);
}
}  // namespace

void setUpStandardOutput() {
    ::_setmode(::_fileno(stdout), _O_BINARY);
    if (::GetFileType(::GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR) {
        savedConsoleCodePage = ::GetConsoleOutputCP();
        if (savedConsoleCodePage != 0 && savedConsoleCodePage != CP_UTF8 &&
            ::SetConsoleOutputCP(CP_UTF8))
            std::atexit(restoreConsoleCodePage);
    }
}

}  // namespace pelko::os
