// Creating a fresh working copy beside an archive, shared by the operations
// that rewrite an archive.
#pragma once

#include <optional>
#include <string>

#include "archive/format.h"

namespace pelko {

struct WorkingCopy {
    std::string name;
    FilePtr file;  // open for binary writing, empty
};

// Creates "<archive>.swpN" exclusively with the smallest free N from 0 to
// 255; nullopt when all are taken or the file cannot be created.
std::optional<WorkingCopy> createWorkingCopy(const std::string& archive);

}  // namespace pelko
