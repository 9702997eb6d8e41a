#include "ipc/framing.h"

#include <array>
#include <string_view>

namespace sandbox {
namespace {

constexpr std::u16string_view kPipePrefix = u"\\\\.\\pipe\\";

// The value of the first `count` bytes; the others count as zero whatever the buffer holds,
// since a read may have used the rest of it as scratch space.
std::uint32_t littleEndian32(const std::array<char, 4>& bytes, std::size_t count) {
  std::uint32_t value = 0;
  for (std::size_t i = count < bytes.size() ? count : bytes.size(); i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  }
  return value;
}

// Fills `message` (already sized) from the reads; true only when every byte arrived.
bool readPrefixedBody(const ReadChunk& read, std::string& message) {
  std::size_t filled = 0;
  while (filled < message.size()) {
    std::size_t got = 0;
    if (!read(message.data() + filled, message.size() - filled, got) || got == 0) return false;
    filled += got;
  }
  return true;
}

// Appends chunks to `message` until one ends in a line feed or NUL, the data ends or a read
// fails. Only whole chunks are tested, so a terminator inside a chunk does not end the message.
void readRawRest(const ReadChunk& read, std::string& message) {
  std::array<char, kRawChunkBytes> chunk{};
  for (;;) {
    std::size_t got = 0;
    if (!read(chunk.data(), chunk.size(), got) || got == 0) return;
    message.append(chunk.data(), got);
    const char last = chunk[got - 1];
    if (last == '\n' || last == '\0') return;
  }
}

}  // namespace

PipeOpenRetry retryAfterOpenError(std::uint32_t error) {
  constexpr std::uint32_t kAccessDenied = 5, kPipeBusy = 231;
  if (error == kAccessDenied) return PipeOpenRetry::GiveUp;
  return error == kPipeBusy ? PipeOpenRetry::WaitForInstance : PipeOpenRetry::Pause;
}

std::u16string pipePath(const std::u16string& name) {
  if (name.compare(0, kPipePrefix.size(), kPipePrefix) == 0) return name;
  return std::u16string(kPipePrefix) + name;
}

bool readControlMessage(const ReadChunk& read, std::string& message) {
  message.clear();
  std::array<char, 4> head{};
  std::size_t headBytes = 0;
  if (!read(head.data(), head.size(), headBytes) || headBytes == 0) return false;

  const std::uint32_t announced = littleEndian32(head, headBytes);
  if (announced >= 1 && announced <= kMaxPrefixedMessageBytes) {
    message.resize(announced);
    if (readPrefixedBody(read, message)) return true;
    message.clear();
    return false;
  }
  // The head is the start of a raw text and is never tested for its terminator.
  message.assign(head.data(), headBytes);
  readRawRest(read, message);
  return true;
}

std::string frameWithLengthPrefix(const std::string& text) {
  const auto size = static_cast<std::uint32_t>(text.size());
  std::string framed;
  for (int shift = 0; shift < 32; shift += 8) {
    framed += static_cast<char>((size >> shift) & 0xFF);
  }
  framed += text;
  return framed;
}

}  // namespace sandbox
