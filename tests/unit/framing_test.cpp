// The configuration message on the control pipe, read from a scripted peer, and pipe paths.
#include "ipc/framing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <tuple>
#include <vector>

#include "common/text.h"

namespace sandbox {
namespace {

using Reads = std::vector<std::optional<std::string>>;  // one per read; nullopt fails it

// Reads the message from a peer whose reads bring these chunks, then the end of the data; each
// read first scribbles over the whole buffer it is offered, as a real read may. Also gives the
// capacity each read asked for.
std::pair<bool, std::string> readFrom(const Reads& reads, std::vector<std::size_t>* asked = {}) {
  std::size_t next = 0;
  std::string message = "stale";
  const bool ok = readControlMessage(
      [&](char* buffer, std::size_t capacity, std::size_t& bytesRead) {
        if (asked != nullptr) asked->push_back(capacity);
        std::memset(buffer, 0x7F, capacity);
        const std::optional<std::string> chunk = next < reads.size() ? reads[next++] : "";
        if (!chunk) return false;
        bytesRead = std::min(capacity, chunk->size());
        std::memcpy(buffer, chunk->data(), bytesRead);
        return true;
      },
      message);
  return {ok, message};
}

std::string bytes(const char* text, std::size_t size) { return std::string(text, size); }

TEST(ControlMessage, ReadsOnePrefixedOrRawMessage) {
  const std::string raw = bytes("\x01\x00\x00\x01", 4);  // 16 MiB + 1: no length
  const std::tuple<const char*, Reads, bool, std::string> rows[] = {
      {"prefixed in pieces", {bytes("\x03\0\0\0", 4), "{", "}x"}, true, "{}x"},
      {"prefix in two reads", {bytes("\x02\0", 2), "hi"}, true, "hi"},
      {"prefixed cut by the end", {bytes("\x03\0\0\0", 4), "ab"}, false, ""},
      {"prefixed cut by a failure", {bytes("\x03\0\0\0", 4), "ab", std::nullopt}, false, ""},
      {"largest prefix is a length", {bytes("\0\0\0\x01", 4), "ab"}, false, ""},
      {"beyond it is raw text", {raw, "ab"}, true, raw + "ab"},
      {"zero prefix is raw text", {bytes("\0\0\0\0", 4), "{}\n"}, true, bytes("\0\0\0\0{}\n", 7)},
      {"raw line", {"{\"a\"", ":1}\n", "next"}, true, "{\"a\":1}\n"},
      {"raw ends at a NUL", {"{\"a\"", bytes(":1}\0", 4), "next"}, true, bytes("{\"a\":1}\0", 8)},
      {"head is never the end", {"ab\n\n", "rest\n"}, true, "ab\n\nrest\n"},
      {"terminator inside a chunk", {"{\"a\"", ":\n1", "}\n"}, true, "{\"a\":\n1}\n"},
      {"raw until a failure", {"{\"a\"", ":1}", std::nullopt}, true, "{\"a\":1}"},
      {"nothing at all", {}, false, ""},
      {"first read fails", {std::nullopt}, false, ""},
  };
  for (const auto& [name, reads, ok, message] : rows) {
    EXPECT_EQ(readFrom(reads), std::make_pair(ok, message)) << name;
  }
}

TEST(ControlMessage, AsksForTheHeadThenTheRestOrWholeChunks) {
  std::vector<std::size_t> asked;
  readFrom({frameWithLengthPrefix("0123456789").substr(0, 4), "012", "3456789"}, &asked);
  EXPECT_EQ(asked, (std::vector<std::size_t>{4, 10, 7}));
  asked.clear();
  EXPECT_EQ(readFrom({"xxxx", std::string(4096, 'x'), "\n"}, &asked).second.size(), 4101u);
  EXPECT_EQ(asked, (std::vector<std::size_t>{4, 4096, 4096}));
}

TEST(ControlMessage, LengthPrefixIsLittleEndian) {
  EXPECT_EQ(frameWithLengthPrefix(""), bytes("\0\0\0\0", 4));
  EXPECT_EQ(frameWithLengthPrefix(std::string(258, 'x')).substr(0, 4), bytes("\x02\x01\0\0", 4));
}

TEST(PipePath, PrefixesOnlyWhatLacksTheExactPrefix) {
  EXPECT_EQ(utf16ToUtf8(pipePath(u"judge")), R"(\\.\pipe\judge)");
  EXPECT_EQ(utf16ToUtf8(pipePath(uR"(\\.\pipe\judge)")), R"(\\.\pipe\judge)");
  EXPECT_EQ(utf16ToUtf8(pipePath(uR"(\\.\PIPE\j)")), R"(\\.\pipe\\\.\PIPE\j)");
}

}  // namespace
}  // namespace sandbox
