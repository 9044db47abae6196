// The extraction name rules of both platforms, as one pure function so that
// each can be tested on the other.
#include "archive/output_path.h"

#include <cstdint>

namespace pelko {
namespace {

bool isSeparator(char c, NameRules rules) {
    return c == '/' || (rules == NameRules::Windows && c == '\\');
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

// Windows opens a device for these whatever extension follows, and ignores
// spaces before the extension: "nul.txt" and "COM1 .log" are devices too.
bool isDeviceName(std::string_view component) {
    std::string_view base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (equalsIgnoringCase(base, device)) return true;
    if (base.size() < 4) return false;
    std::string_view stem = base.substr(0, 3), digit = base.substr(3);
    if (!equalsIgnoringCase(stem, "COM") && !equalsIgnoringCase(stem, "LPT")) return false;
    // COM0-COM9, and the superscript digits 1-3 (UTF-8) that Windows also
    // reads as port numbers.
    if (digit.size() == 1) return digit[0] >= '0' && digit[0] <= '9';
    return digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

bool windowsComponentIsSafe(std::string_view c) {
    if (c.empty() || c == ".") return true;
    if (c.back() == '.' || c.back() == ' ') return false;  // Windows drops them
    for (char ch : c) {
        if (uint8_t(ch) < 0x20) return false;
        for (char bad : {'<', '>', ':', '"', '|', '?', '*'})
            if (ch == bad) return false;
    }
    return !isDeviceName(c);
}

}  // namespace

std::optional<std::string> safeOutputPath(std::string_view name, NameRules rules) {
    const bool windows = rules == NameRules::Windows;
    // "\\server\share", "//server/share" and "\\?\C:\..." name other roots.
    if (windows && name.size() >= 2 && isSeparator(name[0], rules) && isSeparator(name[1], rules))
        return std::nullopt;
    size_t start = 0;
    while (start < name.size() && isSeparator(name[start], rules)) ++start;
    std::string_view path = name.substr(start);
    for (size_t pos = 0; pos <= path.size();) {
        size_t end = pos;
        while (end < path.size() && !isSeparator(path[end], rules)) ++end;
        std::string_view component = path.substr(pos, end - pos);
        if (component == "..") return std::nullopt;
        if (windows && !windowsComponentIsSafe(component)) return std::nullopt;
        pos = end + 1;
    }
    return std::string(path);
}

}  // namespace pelko
