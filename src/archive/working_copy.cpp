// Working copies beside the archive, and the commit that puts one in the
// archive's place.
#include "archive/working_copy.h"

#include "archive/archive.h"
#include "os/os.h"

namespace pelko {

std::optional<WorkingCopy> createWorkingCopy(const std::string& archive) {
    std::optional<os::NewFile> created = os::createNumbered(archive + ".swp");
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
    std::optional<os::NewFile> wc = os::createNumbered(archive + ".swp");
    if (!wc) return std::nullopt;
    if (!in.isOpen()) {
        const uint8_t end_marker = 0;
        if (!wc->file.writeAll(&end_marker, 1) || !wc->file.close()) return std::nullopt;
        return std::move(wc->name);
    }
    if (!os::copyContents(in, wc->file) || !wc->file.close()) return std::nullopt;
    return std::move(wc->name);
}

bool archCutAfter(const std::string& temp, uint64_t end_pos) {
    std::optional<os::FileInfo> info = os::pathInfo(temp);
    if (!info) return false;
    if (info->size <= end_pos) return true;
    return os::truncatePath(temp, end_pos);
}

int archMake(const std::string& archive, const std::string& temp) {
    return os::replaceDurably(temp, archive) ? 0 : 1;
}

}  // namespace pelko
