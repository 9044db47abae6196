// Working copies beside the archive, and the commit that puts one in the
// archive's place.
#include "archive/working_copy.h"

#include "archive/archive.h"
#include "archive/format.h"

namespace pelko {

std::optional<WorkingCopy> archMakeTemp(HeldArchive& archive) {
    std::optional<WorkingCopy> wc = os::createWorkingCopy(archive);
    if (!wc) return std::nullopt;
    // The archive is read through the descriptor that was locked; one that
    // did not exist is new.
    if (!archive.file.isOpen()) {
        if (!wc->file.writeAll(&kEndMarker, 1)) return std::nullopt;
        return wc;
    }
    if (!os::copyContents(archive.file, wc->file)) return std::nullopt;
    return wc;
}

os::Commit archMake(HeldArchive& archive, WorkingCopy& temp, std::optional<uint64_t> extends) {
    return os::commitArchive(archive, temp, extends);
}

}  // namespace pelko
