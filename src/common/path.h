// Filesystem paths from the UTF-8 text of the configuration.
#pragma once

#include <filesystem>
#include <string>

namespace sandbox {

// The path that UTF-8 text names: converted to UTF-16 where paths are wide (Windows), so a
// non-ASCII name is found whatever the ANSI code page.
std::filesystem::path pathFromUtf8(const std::string& utf8);

// True when a file (not a directory) is there and can be opened for reading.
bool canReadFile(const std::filesystem::path& path);

// Reads a whole file as bytes. False when nothing readable is there (missing, a directory,
// refused); `contents` is then unchanged.
bool readWholeFile(const std::filesystem::path& path, std::string& contents);

}  // namespace sandbox
