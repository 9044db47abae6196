// Where an entry is extracted: the rule that turns a stored name, which is
// untrusted, into a path below the current directory, for either platform.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pelko {

enum class NameRules {
    Posix,    // '/' separates; everything else is an ordinary name byte
    Windows,  // '/' and '\' separate; drives, devices and odd names refused
};

#ifdef _WIN32
inline constexpr NameRules kHostNameRules = NameRules::Windows;
#else
inline constexpr NameRules kHostNameRules = NameRules::Posix;
#endif

// The relative path to write the entry `name` to, with leading separators
// dropped, so that absolute names land below the current directory; it may be
// empty. nullopt when the name is unsafe under `rules`: a ".." component on
// either platform; on Windows also any ':' (drive letters, alternate data
// streams), a name beginning with two separators (UNC and "\\?\" paths),
// reserved device names with or without an extension, components ending in
// a dot or a space, and the characters < > " | ? * and controls. Adding
// refuses what extracting would refuse.
std::optional<std::string> safeOutputPath(std::string_view name, NameRules rules = kHostNameRules);

}  // namespace pelko
