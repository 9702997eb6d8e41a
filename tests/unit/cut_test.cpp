#include "streams/cut.h"

#include <gtest/gtest.h>

namespace sandbox {
namespace {

struct CutCase {
  std::uint64_t total, chunk, limit;
  std::uint64_t allowed;
  bool truncated;
};

TEST(CutChunk, PassesExactlyTheFirstLimitBytes) {
  const CutCase cases[] = {
      {100, 100, 100, 100, false},     // exactly the limit: whole, not truncated
      {101, 101, 100, 100, true},      // one byte more in one chunk
      {8192, 8192, 5000, 5000, true},  // a chunk that crosses the limit
      {8292, 100, 8192, 0, true},      // the limit was reached by the previous chunk
      {9000, 808, 8192, 0, true},      // already past before this chunk: nothing
      {8193, 1, 8192, 0, true},        // a one-byte chunk right past the limit
      {8192, 1, 8192, 1, false},       // the last byte within the limit
      {5, 5, 0, 0, true},              // a zero limit lets nothing through
      {0, 0, 0, 0, false},
      {UINT64_MAX, 10, UINT64_MAX - 1, 9, true},
  };
  for (const CutCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.total << "/" << c.chunk << "/" << c.limit);
    const ChunkCut cut = cutChunk(c.total, c.chunk, c.limit);
    EXPECT_EQ(cut.allowedBytes, c.allowed);
    EXPECT_EQ(cut.truncated, c.truncated);
  }
}

TEST(CutChunk, StreamInChunksPassesLimitBytesInAll) {
  for (std::uint64_t limit : {0ull, 1ull, 8191ull, 8192ull, 8193ull, 20000ull}) {
    for (std::uint64_t chunk : {1ull, 7ull, 8192ull}) {
      std::uint64_t total = 0, passed = 0;
      bool truncated = false;
      while (!truncated && total < 30000) {
        total += chunk;
        const ChunkCut cut = cutChunk(total, chunk, limit);
        passed += cut.allowedBytes;
        truncated = cut.truncated;
      }
      SCOPED_TRACE(::testing::Message() << "limit " << limit << " chunk " << chunk);
      EXPECT_TRUE(truncated);
      EXPECT_EQ(passed, limit);
    }
  }
}

}  // namespace
}  // namespace sandbox
