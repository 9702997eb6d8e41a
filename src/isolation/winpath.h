// Windows path rules on UTF-16 text, for the portable core. The command line is resolved for
// Windows, while std::filesystem in a non-Windows build reads paths by POSIX rules; these functions
// give the results std::filesystem::path gives on Windows.
//
// Roots follow Windows: a drive ("C:"), a server ("\\server") or a device prefix ("\\?", "\\.",
// "\??") is a root name; both '\' and '/' are separators. Drive letters are compared as written
// (no case folding), as std::filesystem does.
#pragma once

#include <string>
#include <string_view>

namespace sandbox::winpath {

// Length of the root name at the start of `path` ("C:", "\\server", "\\?"); 0 when it has none.
std::size_t rootNameLength(std::u16string_view path);

// True for "C:\x", "\\server\share" and "\\?\C:\x"; false for "C:x", "\x" and "x".
bool isAbsolute(std::u16string_view path);

// `left` / `right` as std::filesystem::path::operator/ joins them: an absolute right side, or one
// with a different root name, replaces the left; a right side that starts with a separator keeps
// only the left's root name; otherwise the right side is appended after one backslash, which is
// left out when the left is empty, ends with a separator or is a drive alone ("C:").
std::u16string join(std::u16string_view left, std::u16string_view right);

// Whether the file name (the last component) has an extension: "a.txt" and "a." do; "a",
// ".profile",
// "." and ".." do not; a path ending with a separator has no file name and so no extension.
bool hasExtension(std::u16string_view path);

// The lexically normal form: separators become single backslashes (in the root name too), "."
// components are dropped, "name\.." pairs are folded, ".." right after a root directory is
// dropped, a trailing backslash after a final ".." is removed, and an empty result becomes ".".
// An empty path stays empty.
std::u16string lexicallyNormal(std::u16string_view path);

}  // namespace sandbox::winpath
