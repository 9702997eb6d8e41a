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

// Reads get a short grace from the stop (or from their own later start); an echo write is judged
// by its own duration only, so a slow reader that keeps reading is never cut off.
TEST(PumpCallOverdue, ReadGraceFromTheStopWriteGraceFromItsStart) {
  struct Row {
    bool write;
    std::uint64_t started, stopped, now;
    bool overdue;
  };
  const Row rows[] = {
      {false, 100, 1000, 1049, false},  {false, 100, 1000, 1050, true},
      {false, 2000, 1000, 2049, false}, {false, 2000, 1000, 2050, true},
      {false, 2000, 1000, 1990, false}, {true, 100, 5000, 1099, false},
      {true, 100, 5000, 1100, true},    {true, 5000, 100, 5999, false},
      {true, 5000, 100, 6000, true},    {true, 5000, 100, 4000, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << (r.write ? "write " : "read ") << r.started << "/"
                                      << r.stopped << "/" << r.now);
    EXPECT_EQ(pumpCallOverdue(r.write, r.started, r.stopped, r.now), r.overdue);
  }
}

}  // namespace
}  // namespace sandbox
