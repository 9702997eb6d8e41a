// The byte-limit arithmetic of an output stream, the sizes of its calls, and when a pump's
// blocked call is given up.
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

// How much the next read of a stream at `totalBytes` may take: a whole chunk, but at most one
// byte past the limit. What the command wrote beyond that stays in the pipe, so a command that
// writes on past its limit soon finds the pipe full and waits there until its job is stopped.
std::uint64_t readBytesFor(std::uint64_t totalBytes, std::uint64_t limitBytes);

// The pumps and the feeder move up to this much per call, and each of the three pipes buffers as
// much: a pipe call costs mostly per call, whatever its size (under Wine a round trip to the
// server).
inline constexpr std::uint64_t kStreamChunkBytes = 64 * 1024;

// How long a pump may stay in one read once the command is gone and the job terminated: nothing
// in the job can write any more, so a read still waiting is held open from outside the job.
inline constexpr std::uint64_t kPumpReadGraceMs = 50;
// How long one write of the live echo may go without completing before it is given up: a slow
// but live reader finishes a piece (below) well within it; a reader that never reads costs this.
inline constexpr std::uint64_t kEchoStallMs = 1000;

// The echo of a chunk is written in pieces, one after another, so that each piece shows the
// reader's progress: a piece starts at kEchoPieceMinBytes and doubles, up to a whole chunk, each
// time a whole piece was written within kEchoQuickMs; any slower write brings it back to the
// minimum. So a reader that keeps up takes whole chunks, and a slow one 8 KiB at a time.
inline constexpr std::uint64_t kEchoPieceMinBytes = 8 * 1024;
inline constexpr std::uint64_t kEchoQuickMs = 20;

// The next piece size after a write of `writtenBytes` of a piece of `pieceBytes` (the written
// part is shorter at the end of a chunk) that took `tookMs`.
std::uint64_t nextEchoPiece(std::uint64_t pieceBytes, std::uint64_t writtenBytes,
                            std::uint64_t tookMs);

// Whether a pump call that began at `startedMs` (a read, or a write of the echo) is overdue for
// cancellation at `nowMs`, the run having stopped the pump at `stoppedMs` (all in one
// millisecond clock). A read is given the grace from the later of its start and the stop; an
// echo write is judged by its own duration alone, so a slow reader loses nothing.
bool pumpCallOverdue(bool isEchoWrite, std::uint64_t startedMs, std::uint64_t stoppedMs,
                     std::uint64_t nowMs);

}  // namespace sandbox
