// Helpers the POSIX implementation files of the operating-system layer share.
#pragma once

#include <cerrno>

#include "os/os.h"

namespace pelko::os {

inline int fdOf(const File& f) {
    return static_cast<int>(f.native());
}

inline Error errorOf(int e) {
    return e == ENOENT ? Error::Missing : e == EEXIST ? Error::Exists : Error::Other;
}

}  // namespace pelko::os
