// Working copies beside the archive, and the commit that puts one in the
// archive's place.
#include "archive/working_copy.h"

#include "archive/archive.h"
#include "os/os.h"

namespace pelko {

namespace {

// A working copy is no more visible than the archive, and writable by the
// run that makes it.
std::optional<os::NewFile> createBeside(const std::string& archive) {
    std::optional<os::FileInfo> info = os::pathInfo(archive);
    return os::createNumbered(archive + ".swp", info ? info->permissions | 0600 : 0666);
}

}  // namespace

std::optional<WorkingCopy> createWorkingCopy(const std::string& archive) {
    std::optional<os::NewFile> created = createBeside(archive);
    if (!created) return std::nullopt;
    FilePtr f = os::toStream(std::move(created->file), "wb");
    if (!f) return std::nullopt;
    return WorkingCopy{std::move(created->name), std::move(f)};
}

std::optional<std::string> archMakeTemp(const std::string& archive) {
    os::Error err;
    os::File in = os::openRead(archive, &err);
    // Only a missing archive is new; one we cannot read must not be replaced.
    if (!in.isOpen() && err != os::Error::Missing) return std::nullopt;
    std::optional<os::NewFile> wc = createBeside(archive);
    if (!wc) return std::nullopt;
    if (!in.isOpen()) {
        if (!wc->file.writeAll(&kEndMarker, 1) || !wc->file.close()) return std::nullopt;
        return std::move(wc->name);
    }
    if (!os::copyContents(in, wc->file) || !wc->file.close()) return std::nullopt;
    return std::move(wc->name);
}

int archMake(const std::string& archive, const std::string& temp, std::optional<uint64_t> extends) {
    return os::replaceDurably(temp, archive, extends) ? 0 : 1;
}

}  // namespace pelko
