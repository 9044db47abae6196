// Working copies beside an archive, shared by the operations that rewrite an
// archive: each is written, flushed and committed through the descriptor
// that created it.
#pragma once

#include "os/os.h"

namespace pelko {

using HeldArchive = os::HeldArchive;
using WorkingCopy = os::NewFile;

}  // namespace pelko
