#include "streams/cut.h"

namespace sandbox {

ChunkCut cutChunk(std::uint64_t totalBytes, std::uint64_t chunkBytes, std::uint64_t limitBytes) {
  ChunkCut cut{chunkBytes, false};
  if (totalBytes > limitBytes) {
    cut.truncated = true;
    const std::uint64_t before = totalBytes - chunkBytes;
    cut.allowedBytes = before < limitBytes ? limitBytes - before : 0;
  }
  return cut;
}

bool pumpCallOverdue(bool isEchoWrite, std::uint64_t startedMs, std::uint64_t stoppedMs,
                     std::uint64_t nowMs) {
  if (isEchoWrite) return nowMs >= startedMs && nowMs - startedMs >= kEchoStallMs;
  const std::uint64_t from = startedMs > stoppedMs ? startedMs : stoppedMs;
  return nowMs >= from && nowMs - from >= kPumpReadGraceMs;
}

}  // namespace sandbox
