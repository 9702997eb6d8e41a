#include "ipc/framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace sandbox {
namespace {

// One step of what the peer does: a write that one read delivers (split when the read asks
// for less), an orderly end of data (a 0-byte read), or a failed read.
struct Step {
  enum Kind { Data, End, Fail } kind;
  std::string bytes;
};

Step data(std::string bytes) { return Step{Step::Data, std::move(bytes)}; }
Step end() { return Step{Step::End, {}}; }
Step fail() { return Step{Step::Fail, {}}; }

// A pipe played from a script. Reads after the script fail, as on a pipe whose peer is gone.
class ScriptedPipe {
 public:
  explicit ScriptedPipe(std::vector<Step> steps) : steps_(std::move(steps)) {}

  ReadChunk reader() {
    return [this](char* buffer, std::size_t capacity, std::size_t& bytesRead) {
      return read(buffer, capacity, bytesRead);
    };
  }

  // Capacities asked for, one per read call.
  const std::vector<std::size_t>& asked() const { return asked_; }

  // The data the reader left in the pipe.
  std::string unread() const {
    std::string rest;
    for (std::size_t i = next_; i < steps_.size(); ++i) {
      if (steps_[i].kind == Step::Data) rest += steps_[i].bytes.substr(i == next_ ? offset_ : 0);
    }
    return rest;
  }

 private:
  bool read(char* buffer, std::size_t capacity, std::size_t& bytesRead) {
    asked_.push_back(capacity);
    bytesRead = 0;
    if (next_ >= steps_.size()) return false;
    const Step& step = steps_[next_];
    if (step.kind != Step::Data) {
      ++next_;
      return step.kind == Step::End;
    }
    bytesRead = std::min(capacity, step.bytes.size() - offset_);
    std::memcpy(buffer, step.bytes.data() + offset_, bytesRead);
    offset_ += bytesRead;
    if (offset_ == step.bytes.size()) {
      ++next_;
      offset_ = 0;
    }
    return true;
  }

  std::vector<Step> steps_;
  std::size_t next_ = 0;
  std::size_t offset_ = 0;
  std::vector<std::size_t> asked_;
};

std::string bytes(const char* text, std::size_t size) { return std::string(text, size); }

struct FramingCase {
  const char* name;
  std::vector<Step> script;
  bool ok;
  std::string message;
  std::string unread;
};

void PrintTo(const FramingCase& c, std::ostream* out) { *out << c.name; }

class ReadControlMessage : public ::testing::TestWithParam<FramingCase> {};

TEST_P(ReadControlMessage, ReadsOneMessage) {
  const FramingCase& c = GetParam();
  ScriptedPipe pipe(c.script);
  std::string message = "stale";
  EXPECT_EQ(readControlMessage(pipe.reader(), message), c.ok);
  EXPECT_EQ(message, c.message);
  EXPECT_EQ(pipe.unread(), c.unread);
}

const std::string kJson = "{\"mode\":\"run\",\"exec\":\"main.exe\"}";

INSTANTIATE_TEST_SUITE_P(
    NoMessage, ReadControlMessage,
    ::testing::Values(FramingCase{"FirstReadFails", {fail(), data("x\n")}, false, "", "x\n"},
                      FramingCase{"FirstReadEmpty", {end(), data("x\n")}, false, "", "x\n"},
                      FramingCase{"NothingAtAll", {}, false, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    LengthPrefixed, ReadControlMessage,
    ::testing::Values(
        FramingCase{"WholeInOneWrite", {data(frameWithLengthPrefix(kJson))}, true, kJson, ""},
        FramingCase{"OneByte", {data(frameWithLengthPrefix("7"))}, true, "7", ""},
        FramingCase{"SplitAcrossManyReads",
                    {data(frameWithLengthPrefix(kJson).substr(0, 4)), data("{\"mode\""),
                     data(":\"run\","), data("\"exec\":"), data("\"main.exe\""), data("}")},
                    true,
                    kJson,
                    ""},
        FramingCase{"StopsAtAnnouncedLength",
                    {data(frameWithLengthPrefix("ab") + "cd\n")},
                    true,
                    "ab",
                    "cd\n"},
        FramingCase{
            "LineFeedInsideIsData", {data(frameWithLengthPrefix("a\nb"))}, true, "a\nb", ""},
        FramingCase{
            "CutShortByClose", {data(frameWithLengthPrefix("hello").substr(0, 8))}, false, "", ""},
        FramingCase{"CutShortByEnd",
                    {data(frameWithLengthPrefix("hello").substr(0, 8)), end()},
                    false,
                    "",
                    ""},
        FramingCase{"CutShortByFailure",
                    {data(bytes("\x05\0\0\0", 4)), data("he"), fail(), data("llo")},
                    false,
                    "",
                    "llo"},
        // Bytes the first read did not bring count as zero: a 1-byte head of 3 announces 3.
        FramingCase{"ShortHeadAnnounces", {data("\x03"), data("abc")}, true, "abc", ""},
        // A raw text of one to three bytes reads as a prefix, and then the peer closes.
        FramingCase{"RawOneByte", {data("x")}, false, "", ""},
        FramingCase{"RawThreeBytes", {data("{}\n")}, false, "", ""},
        FramingCase{"RawThreeBytesThenEnd", {data("{}\n"), end()}, false, "", ""},
        // A fourth byte of NUL keeps the value within the length range.
        FramingCase{
            "RawFourBytesEndingInNul", {data(bytes("abc\0", 4)), data("defg")}, false, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Raw, ReadControlMessage,
    ::testing::Values(
        FramingCase{"SingleLine", {data(kJson + "\n")}, true, kJson + "\n", ""},
        FramingCase{"ZeroPrefixStartsRawText",
                    {data(bytes("\0\0\0\0{}\n", 7))},
                    true,
                    bytes("\0\0\0\0{}\n", 7),
                    ""},
        FramingCase{"SingleNulByteIsRawToo",
                    {data(bytes("\0", 1)), data("{}\n")},
                    true,
                    bytes("\0{}\n", 4),
                    ""},
        FramingCase{"PrefixOverLimitIsRaw",
                    {data(bytes("\x01\0\0\x01"
                                "abc\n",
                                8))},
                    true,
                    bytes("\x01\0\0\x01"
                          "abc\n",
                          8),
                    ""},
        FramingCase{
            "AllOnesPrefixIsRaw", {data("\xFF\xFF\xFF\xFFz\n")}, true, "\xFF\xFF\xFF\xFFz\n", ""},
        // The four head bytes are never tested for the terminator.
        FramingCase{"FourBytesEndingInLineFeedThenMore",
                    {data("{} \n"), data("x\n"), data("y")},
                    true,
                    "{} \nx\n",
                    "y"},
        FramingCase{"FourBytesEndingInLineFeedThenClose", {data("{} \n")}, true, "{} \n", ""},
        FramingCase{"FourBytesEndingInLineFeedThenEnd", {data("{} \n"), end()}, true, "{} \n", ""},
        FramingCase{"SeveralWritesCompleteAtFirstLineFeed",
                    {data("{\"mo"), data("de\":"), data("1}\n"), data("{\"next\":2}\n")},
                    true,
                    "{\"mode\":1}\n",
                    "{\"next\":2}\n"},
        FramingCase{"LineFeedInsideChunkDoesNotEnd",
                    {data("abcd"), data("x\ny"), data("z\n")},
                    true,
                    "abcdx\nyz\n",
                    ""},
        FramingCase{"NulTerminatorKept",
                    {data(bytes("{\"a\":1}\0", 8)), data("more")},
                    true,
                    bytes("{\"a\":1}\0", 8),
                    "more"},
        FramingCase{"CarriageReturnDoesNotEnd",
                    {data("{\"a\":1}\r"), data("\n")},
                    true,
                    "{\"a\":1}\r\n",
                    ""},
        FramingCase{"EndsWhenPeerCloses", {data(kJson)}, true, kJson, ""},
        FramingCase{"EndsAtEmptyRead", {data(kJson), end(), data("late\n")}, true, kJson, "late\n"},
        FramingCase{
            "EndsAtFailedRead", {data("{\"a\""), fail(), data(":1}\n")}, true, "{\"a\"", ":1}\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadControlMessageRaw, ChunkOf4096EndingInLineFeedEndsMessage) {
  // One write: a head, then 4095 bytes and a line feed (one full chunk), then more text.
  const std::string head = "{\"x\"";
  const std::string firstChunk = std::string(4095, ' ') + "\n";
  ScriptedPipe pipe({data(head + firstChunk + "tail\n")});
  std::string message;
  ASSERT_TRUE(readControlMessage(pipe.reader(), message));
  EXPECT_EQ(message, head + firstChunk);
  EXPECT_EQ(pipe.unread(), "tail\n");
  EXPECT_EQ(pipe.asked(), (std::vector<std::size_t>{4, 4096}));
}

TEST(ReadControlMessageRaw, LongTextReadIn4096ByteChunks) {
  const std::string text = "{" + std::string(10000, 'a') + "}\n";
  ScriptedPipe pipe({data(text)});
  std::string message;
  ASSERT_TRUE(readControlMessage(pipe.reader(), message));
  EXPECT_EQ(message, text);
  // 4 + 4096 + 4096 + 1806 bytes.
  EXPECT_EQ(pipe.asked(), (std::vector<std::size_t>{4, 4096, 4096, 4096}));
}

TEST(ReadControlMessagePrefixed, ReadsAskForTheRemainder) {
  ScriptedPipe pipe({data(bytes("\x0A\0\0\0", 4)), data("abc"), data("defghij")});
  std::string message;
  ASSERT_TRUE(readControlMessage(pipe.reader(), message));
  EXPECT_EQ(message, "abcdefghij");
  EXPECT_EQ(pipe.asked(), (std::vector<std::size_t>{4, 10, 7}));
}

TEST(ReadControlMessagePrefixed, LargestPrefixIsALength) {
  const std::string body(16777216, 'q');
  const std::string framed = frameWithLengthPrefix(body);
  ASSERT_EQ(framed.substr(0, 4), bytes("\0\0\0\x01", 4));
  {
    ScriptedPipe pipe({data(framed)});
    std::string message;
    EXPECT_TRUE(readControlMessage(pipe.reader(), message));
    EXPECT_TRUE(message == body) << "size " << message.size();
  }
  {
    // Cut short: a raw reading would have accepted the text.
    ScriptedPipe pipe({data(framed.substr(0, 4) + "{}\n")});
    std::string message;
    EXPECT_FALSE(readControlMessage(pipe.reader(), message));
    EXPECT_TRUE(message.empty());
  }
}

// Only the bytes a read reports count: a short first read that leaves other bytes in the
// buffer (a read may use all of it as scratch) still announces its own value.
TEST(ReadControlMessagePrefixed, ShortHeadIgnoresTheRestOfTheBuffer) {
  const std::vector<std::string> writes = {"\x03", "abc"};
  std::size_t next = 0;
  const ReadChunk scribbling = [&](char* buffer, std::size_t capacity, std::size_t& bytesRead) {
    std::memset(buffer, 0xEE, capacity);
    if (next == writes.size()) return false;
    const std::string& write = writes[next++];
    bytesRead = std::min(capacity, write.size());
    std::memcpy(buffer, write.data(), bytesRead);
    return true;
  };
  std::string message;
  EXPECT_TRUE(readControlMessage(scribbling, message));
  EXPECT_EQ(message, "abc");
  EXPECT_EQ(next, writes.size());
}

struct PrefixCase {
  std::string text;
  std::string prefix;
};

TEST(FrameWithLengthPrefix, LittleEndianLength) {
  const PrefixCase cases[] = {
      {"", bytes("\0\0\0\0", 4)},
      {"abc", bytes("\x03\0\0\0", 4)},
      {std::string(256, 'x'), bytes("\0\x01\0\0", 4)},
      {std::string(0x010203, 'x'), bytes("\x03\x02\x01\0", 4)},
  };
  for (const PrefixCase& c : cases) {
    SCOPED_TRACE(c.text.size());
    const std::string framed = frameWithLengthPrefix(c.text);
    EXPECT_EQ(framed.substr(0, 4), c.prefix);
    EXPECT_TRUE(framed.substr(4) == c.text);
  }
}

struct PathCase {
  const char* name;
  std::u16string input;
  std::u16string expected;
};

TEST(PipePath, PrefixesOnlyWhatLacksTheExactPrefix) {
  const PathCase cases[] = {
      {"BareName", u"judge1", u"\\\\.\\pipe\\judge1"},
      {"AlreadyPrefixed", u"\\\\.\\pipe\\judge1", u"\\\\.\\pipe\\judge1"},
      {"CapitalPipe", u"\\\\.\\PIPE\\judge1", u"\\\\.\\pipe\\\\\\.\\PIPE\\judge1"},
      {"PrefixAlone", u"\\\\.\\pipe\\", u"\\\\.\\pipe\\"},
      {"PrefixWithoutLastBackslash", u"\\\\.\\pipe", u"\\\\.\\pipe\\\\\\.\\pipe"},
      {"ForwardSlashes", u"//./pipe/judge1", u"\\\\.\\pipe\\//./pipe/judge1"},
      {"Empty", u"", u"\\\\.\\pipe\\"},
      {"NonAscii", u"r\u00E9sultat\u65E5", u"\\\\.\\pipe\\r\u00E9sultat\u65E5"},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(pipePath(c.input) == c.expected);
  }
}

}  // namespace
}  // namespace sandbox
