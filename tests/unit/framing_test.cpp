// The configuration message on the control pipe, read from a scripted peer, and pipe paths.
#include "ipc/framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/text.h"

namespace sandbox {
namespace {

// Sends `data` in reads of at most the given sizes (the last one repeats; 0 means no cap),
// then ends with a read of 0 bytes or, when `failAtEnd`, a failed read. It scribbles over the
// whole offered buffer first, as a real read may.
struct Peer {
  Peer(std::string data, std::vector<std::size_t> sizes = {0}, bool failAtEnd = false)
      : data(std::move(data)), sizes(std::move(sizes)), failAtEnd(failAtEnd) {}

  std::string data;
  std::vector<std::size_t> sizes;
  bool failAtEnd;
  std::size_t sent = 0;
  std::vector<std::size_t> asked;

  bool read(char* buffer, std::size_t capacity, std::size_t& bytesRead) {
    std::memset(buffer, 0x7F, capacity);
    const std::size_t cap = sizes[asked.size() < sizes.size() ? asked.size() : sizes.size() - 1];
    asked.push_back(capacity);
    if (sent == data.size() && failAtEnd) return false;
    bytesRead = std::min({capacity, data.size() - sent, cap == 0 ? capacity : cap});
    std::memcpy(buffer, data.data() + sent, bytesRead);
    sent += bytesRead;
    return true;
  }
};

bool readFrom(Peer& peer, std::string& message) {
  message = "stale";
  return readControlMessage(
      [&peer](char* buffer, std::size_t capacity, std::size_t& bytesRead) {
        return peer.read(buffer, capacity, bytesRead);
      },
      message);
}

std::string bytes(const char* text, std::size_t size) { return std::string(text, size); }

TEST(ControlMessage, ReadsOnePrefixedOrRawMessage) {
  const std::string sixteenMiB = bytes("\x00\x00\x00\x01", 4);
  const struct {
    const char* name;
    Peer peer;
    bool ok;
    std::string message;
  } rows[] = {
      {"prefixed in pieces", {frameWithLengthPrefix("{}x"), {4, 1}}, true, "{}x"},
      {"prefix in two reads", {bytes("\x02\x00", 2) + "hi", {2}}, true, "hi"},
      {"prefixed cut by the end", {bytes("\x03\x00\x00\x00", 4) + "ab"}, false, ""},
      {"prefixed cut by a failure", {bytes("\x03\x00\x00\x00", 4) + "ab", {0}, true}, false, ""},
      {"largest prefix is a length", {sixteenMiB + "ab"}, false, ""},
      {"beyond it is raw text",
       {bytes("\x01\x00\x00\x01", 4) + "ab"},
       true,
       bytes("\x01\x00\x00\x01", 4) + "ab"},
      {"zero prefix is raw text", {bytes("\0\0\0\0{}\n", 7)}, true, bytes("\0\0\0\0{}\n", 7)},
      {"raw line", {"{\"a\":1}\nnext", {4, 4}}, true, "{\"a\":1}\n"},
      {"raw ends at a NUL", {bytes("{\"a\":1}\0next", 12), {4, 4}}, true, bytes("{\"a\":1}\0", 8)},
      {"head is never a terminator", {"ab\n\nrest\n", {4, 5}}, true, "ab\n\nrest\n"},
      {"terminator inside a chunk", {"{\"a\":\n1}\n", {4, 3}}, true, "{\"a\":\n1}\n"},
      {"raw until a failure", {"{\"a\":1}", {0}, true}, true, "{\"a\":1}"},
      {"nothing at all", {""}, false, ""},
      {"first read fails", {"", {0}, true}, false, ""},
  };
  for (auto row : rows) {
    SCOPED_TRACE(row.name);
    std::string message;
    EXPECT_EQ(readFrom(row.peer, message), row.ok);
    EXPECT_EQ(message, row.message);
  }
}

TEST(ControlMessage, AsksForTheHeadThenTheRestOrWholeChunks) {
  Peer prefixed{frameWithLengthPrefix("0123456789"), {4, 3}};
  std::string message;
  ASSERT_TRUE(readFrom(prefixed, message));
  EXPECT_EQ(prefixed.asked, (std::vector<std::size_t>{4, 10, 7, 4, 1}));
  Peer raw{std::string(5000, 'x') + "\n"};
  ASSERT_TRUE(readFrom(raw, message));
  EXPECT_EQ(message.size(), 5001u);
  EXPECT_EQ(raw.asked, (std::vector<std::size_t>{4, 4096, 4096}));
}

TEST(ControlMessage, LengthPrefixIsLittleEndian) {
  EXPECT_EQ(frameWithLengthPrefix(""), bytes("\0\0\0\0", 4));
  EXPECT_EQ(frameWithLengthPrefix(std::string(258, 'x')).substr(0, 4), bytes("\x02\x01\0\0", 4));
}

TEST(PipePath, PrefixesOnlyWhatLacksTheExactPrefix) {
  const struct {
    std::u16string name, path;
  } rows[] = {
      {u"judge", uR"(\\.\pipe\judge)"},
      {uR"(\\.\pipe\judge)", uR"(\\.\pipe\judge)"},
      {uR"(\\.\PIPE\j)", uR"(\\.\pipe\\\.\PIPE\j)"},
  };
  for (const auto& row : rows) EXPECT_EQ(utf16ToUtf8(pipePath(row.name)), utf16ToUtf8(row.path));
}

}  // namespace
}  // namespace sandbox
