// The byte-limit arithmetic of an output stream.
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

}  // namespace sandbox
