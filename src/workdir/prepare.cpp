#include "workdir/prepare.h"

#include <fstream>
#include <system_error>

#include "common/path.h"

namespace sandbox {
namespace {

namespace fs = std::filesystem;

void createParentDirectories(const fs::path& target) {
  std::error_code ignored;
  fs::create_directories(target.parent_path(), ignored);
}

// Writes the bytes exactly (binary mode: no line-end translation, nothing added); a target
// that cannot be opened is skipped.
void writeFileEntry(const fs::path& directory, const std::string& relative,
                    const std::string& content) {
  const fs::path target = directory / pathFromUtf8(relative);
  createParentDirectories(target);
  std::ofstream file(target, std::ios::binary | std::ios::trunc);
  if (!file) return;
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// The source is taken as given, so a relative source is found from the sandbox's own current
// directory. A source whose status cannot be read is skipped before anything is created (a
// status that failed is not known, so it does not exist).
void copyFileEntry(const fs::path& directory, const std::string& relative,
                   const std::string& source) {
  const fs::path from = pathFromUtf8(source);
  std::error_code error;
  if (!fs::exists(fs::status(from, error))) return;
  const fs::path target = directory / pathFromUtf8(relative);
  createParentDirectories(target);
  copyFileReplacing(from, target);
}

}  // namespace

fs::path resolveWorkingDirectory(const std::string& cwd) {
  std::error_code error;
  fs::path resolved;
  if (cwd.empty() || cwd == ".") {
    resolved = fs::current_path(error);
  } else {
    resolved = fs::absolute(pathFromUtf8(cwd), error);
  }
  if (error) return {};
  return resolved.lexically_normal();
}

fs::path prepareWorkingDirectory(const SandboxConfig& config) {
  fs::path directory = resolveWorkingDirectory(config.cwd);
  std::error_code error;
  if (!fs::exists(directory, error)) fs::create_directories(directory, error);
  for (const auto& [relative, content] : config.writeFiles) {
    writeFileEntry(directory, relative, content);
  }
  for (const auto& [relative, source] : config.copyFiles) {
    copyFileEntry(directory, relative, source);
  }
  return directory;
}

}  // namespace sandbox
