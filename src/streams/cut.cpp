#include "streams/cut.h"

#include <algorithm>

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

std::uint64_t readBytesFor(std::uint64_t totalBytes, std::uint64_t limitBytes) {
  const std::uint64_t left = totalBytes < limitBytes ? limitBytes - totalBytes : 0;
  return left < kStreamChunkBytes ? left + 1 : kStreamChunkBytes;
}

std::uint64_t nextEchoPiece(std::uint64_t pieceBytes, std::uint64_t writtenBytes,
                            std::uint64_t tookMs) {
  if (tookMs >= kEchoQuickMs) return kEchoPieceMinBytes;
  if (writtenBytes < pieceBytes) return pieceBytes;  // a short write says nothing of the reader
  return std::min(pieceBytes * 2, kStreamChunkBytes);
}

bool pumpCallOverdue(bool isEchoWrite, std::uint64_t startedMs, std::uint64_t stoppedMs,
                     std::uint64_t nowMs) {
  if (isEchoWrite) return nowMs >= startedMs && nowMs - startedMs >= kEchoStallMs;
  const std::uint64_t from = startedMs > stoppedMs ? startedMs : stoppedMs;
  return nowMs >= from && nowMs - from >= kPumpReadGraceMs;
}

}  // namespace sandbox
