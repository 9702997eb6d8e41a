// The byte-limit arithmetic of an output stream, and when a pump's blocked call is given up.
#pragma once

#include <cstdint>

namespace sandbox {

// What may be passed on of a chunk of `chunkBytes` that brought the stream to `totalBytes`.
struct ChunkCut {
  std::uint64_t allowedBytes = 0;  // the part of the chunk up to the limit
  bool truncated = false;          // the stream went past the limit with this chunk (or before)
};

// Exactly the first `limitBytes` bytes of a stream are passed on; a stream of exactly the
// limit is not truncated.
ChunkCut cutChunk(std::uint64_t totalBytes, std::uint64_t chunkBytes, std::uint64_t limitBytes);

// How long a pump may stay in one read once the command is gone and the job terminated: nothing
// in the job can write any more, so a read still waiting is held open from outside the job.
inline constexpr std::uint64_t kPumpReadGraceMs = 50;
// How long one write of the live echo may go without completing before it is given up: a slow
// but live reader finishes an 8 KiB write well within it; a reader that never reads costs this.
inline constexpr std::uint64_t kEchoStallMs = 1000;

// Whether a pump call that began at `startedMs` (a read, or a write of the echo) is overdue for
// cancellation at `nowMs`, the run having stopped the pump at `stoppedMs` (all in one
// millisecond clock). A read is given the grace from the later of its start and the stop; an
// echo write is judged by its own duration alone, so a slow reader loses nothing.
bool pumpCallOverdue(bool isEchoWrite, std::uint64_t startedMs, std::uint64_t stoppedMs,
                     std::uint64_t nowMs);

}  // namespace sandbox
