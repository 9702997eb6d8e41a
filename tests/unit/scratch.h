// A fresh folder under the temporary folder for one test, removed with its contents.
#pragma once

#include <filesystem>
#include <random>
#include <string>

namespace sandbox {

class ScratchDir {
 public:
  ScratchDir()
      : path_(std::filesystem::temp_directory_path() /
              ("sandbox_unit_" + std::to_string(std::random_device{}()))) {
    std::filesystem::create_directories(path_);
    path_ = std::filesystem::canonical(path_);
  }
  ~ScratchDir() { std::filesystem::remove_all(path_, ignored_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

  // The UTF-8 text of a path inside, as the configuration names it.
  std::string utf8(const std::string& name) const {
    const std::u8string text = (path_ / std::u8string(name.begin(), name.end())).u8string();
    return std::string(text.begin(), text.end());
  }

 private:
  std::filesystem::path path_;
  std::error_code ignored_;
};

}  // namespace sandbox
