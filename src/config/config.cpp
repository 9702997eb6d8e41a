#include "config/config.h"

namespace sandbox {
namespace {

// The limits a profile fills in where the configuration left 0.
struct ProfileDefaults {
  std::uint64_t timeLimitMs;
  std::uint64_t cpuLimitMs;
  std::uint64_t memoryLimitMb;
  std::uint64_t maxStdoutBytes;
  std::uint64_t maxStderrBytes;
  std::uint64_t maxFileSizeBytes;
  std::uint32_t maxFileCount;
  bool allowChildProcess;
};

constexpr ProfileDefaults kRunProfile{3000, 3000, 1024, 131072, 131072, 131072, 32, false};
constexpr ProfileDefaults kCompileProfile{15000,   15000,    2048, 1048576,
                                          1048576, 52428800, 128,  true};

template <typename T>
void fillIfZero(T& field, T value) {
  if (field == 0) field = value;
}

}  // namespace

bool isCompileMode(const std::string& mode) { return mode == "compile"; }

void applyModeDefaults(SandboxConfig& config) {
  const ProfileDefaults& profile = isCompileMode(config.mode) ? kCompileProfile : kRunProfile;
  fillIfZero(config.timeLimitMs, profile.timeLimitMs);
  fillIfZero(config.cpuLimitMs, profile.cpuLimitMs);
  // A byte limit is already a memory limit: the MiB default must not appear beside it.
  if (config.memoryLimitBytes == 0) fillIfZero(config.memoryLimitMb, profile.memoryLimitMb);
  fillIfZero(config.maxStdoutBytes, profile.maxStdoutBytes);
  fillIfZero(config.maxStderrBytes, profile.maxStderrBytes);
  fillIfZero(config.maxFileSizeBytes, profile.maxFileSizeBytes);
  fillIfZero(config.maxFileCount, profile.maxFileCount);
  if (!config.allowChildProcessSet) config.allowChildProcess = profile.allowChildProcess;
}

std::uint64_t effectiveMemoryLimit(const SandboxConfig& config) {
  if (config.memoryLimitBytes != 0) return config.memoryLimitBytes;
  // A count of megabytes too large for bytes saturates: wrapping round to 0 would lift the limit.
  constexpr std::uint64_t kLargest = ~std::uint64_t{0};
  if (config.memoryLimitMb > (kLargest >> 20)) return kLargest;
  return config.memoryLimitMb << 20;
}

}  // namespace sandbox
