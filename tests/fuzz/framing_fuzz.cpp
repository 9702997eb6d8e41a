// The control-message reader over a scripted peer, the length-prefix encoder read back, and the
// pipe path of a name.
//
// Input layout: byte 0 picks the read call that fails (16 and above: none), bit 0 of byte 1 says
// whether the data ends in a failed read (the peer closed) or a read of 0 bytes, bytes 2-5 cap
// the size of successive reads (cycled; 0 means no cap), the rest is the data the peer sends.
// Inputs announcing over 64 KiB are skipped: each would cost a buffer of up to 16 MiB while
// taking the same path as a small length (the unit tests cover the 16 MiB boundary).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/text.h"
#include "fuzz_check.h"
#include "ipc/framing.h"

namespace {

constexpr std::size_t kHeaderBytes = 6;

struct ScriptedPeer {
  std::string data;
  std::size_t failAt = 0;  // index of the failing call; out of reach means never
  bool closeAtEnd = false;
  std::uint8_t caps[4] = {};

  std::size_t sent = 0;
  std::size_t calls = 0;
  bool over = false;                    // a read failed or brought nothing
  std::vector<std::size_t> deliveries;  // bytes each successful read brought

  bool read(char* buffer, std::size_t capacity, std::size_t& bytesRead) {
    FUZZ_CHECK(!over);  // nothing is read after a failure or the end of the data
    FUZZ_CHECK(buffer != nullptr && capacity > 0);
    // The offered capacity must be writable (checked at both ends, as a read may scribble
    // anywhere in it); bytes not delivered then hold junk, as they may after a real read.
    std::memset(buffer, 0xA5, capacity < 16 ? capacity : 16);
    buffer[capacity - 1] = '\x5A';
    const std::size_t call = calls++;
    if (call == failAt || (sent == data.size() && closeAtEnd)) {
      over = true;
      return false;
    }
    std::size_t count = data.size() - sent;
    if (count > capacity) count = capacity;
    const std::uint8_t cap = caps[call % 4];
    if (cap != 0 && count > cap) count = cap;
    std::memcpy(buffer, data.data() + sent, count);
    sent += count;
    bytesRead = count;
    deliveries.push_back(count);
    if (count == 0) over = true;
    return true;
  }
};

std::uint32_t announcedLength(const std::string& data, std::size_t headBytes) {
  std::uint32_t value = 0;
  for (std::size_t i = headBytes; i-- > 0;)
    value = (value << 8) | static_cast<std::uint8_t>(data[i]);
  return value;
}

// What the scripted peer's first read (asking for 4 bytes) delivers, failures aside.
std::size_t firstReadSize(const ScriptedPeer& peer) {
  std::size_t count = peer.data.size() < 4 ? peer.data.size() : 4;
  if (peer.caps[0] != 0 && count > peer.caps[0]) count = peer.caps[0];
  return count;
}

bool isTerminator(char c) { return c == '\n' || c == '\0'; }

void checkRawMessage(const ScriptedPeer& peer, const std::string& message) {
  FUZZ_CHECK(!message.empty());
  FUZZ_CHECK(message == peer.data.substr(0, peer.sent));  // every byte read, in order
  // Only a chunk after the head that ends in a terminator stops the reading early.
  std::size_t end = peer.deliveries[0];
  for (std::size_t i = 1; i < peer.deliveries.size(); ++i) {
    end += peer.deliveries[i];
    const bool last = i + 1 == peer.deliveries.size();
    if (peer.deliveries[i] == 0) {
      FUZZ_CHECK(last);
    } else {
      FUZZ_CHECK(isTerminator(peer.data[end - 1]) == (last && !peer.over));
    }
  }
  if (!peer.over) FUZZ_CHECK(peer.deliveries.size() >= 2);
}

void checkScriptedRead(ScriptedPeer& peer) {
  std::string message = "stale";
  const bool ok = sandbox::readControlMessage(
      [&peer](char* buffer, std::size_t capacity, std::size_t& bytesRead) {
        return peer.read(buffer, capacity, bytesRead);
      },
      message);
  FUZZ_CHECK(peer.sent <= peer.data.size());
  if (peer.deliveries.empty() || peer.deliveries[0] == 0) {
    FUZZ_CHECK(!ok && message.empty());
    return;
  }
  const std::size_t head = peer.deliveries[0];
  FUZZ_CHECK(head <= 4);
  const std::uint32_t length = announcedLength(peer.data, head);
  if (length >= 1 && length <= sandbox::kMaxPrefixedMessageBytes) {
    const bool complete = peer.sent == head + length;
    FUZZ_CHECK(peer.sent <= head + length);  // never reads past the announced message
    FUZZ_CHECK(ok == complete);
    if (ok) {
      FUZZ_CHECK(message == peer.data.substr(head, length));
    } else {
      FUZZ_CHECK(message.empty());
    }
    return;
  }
  FUZZ_CHECK(ok);  // a raw message always has its head
  checkRawMessage(peer, message);
}

// What the encoder frames, the reader returns whole, however the bytes are split.
void checkRoundTrip(const std::string& text, const std::uint8_t caps[4]) {
  if (text.empty()) return;
  ScriptedPeer peer;
  peer.data = sandbox::frameWithLengthPrefix(text);
  FUZZ_CHECK(peer.data.size() == text.size() + 4);
  peer.failAt = static_cast<std::size_t>(-1);
  std::memcpy(peer.caps, caps, 4);
  peer.caps[0] = 0;  // the prefix arrives whole, as a service writes it in one go
  std::string message;
  const bool ok = sandbox::readControlMessage(
      [&peer](char* buffer, std::size_t capacity, std::size_t& bytesRead) {
        return peer.read(buffer, capacity, bytesRead);
      },
      message);
  FUZZ_CHECK(ok && message == text);
}

void checkPipePath(const std::string& name) {
  const std::u16string wide = sandbox::utf8ToUtf16(name);
  const std::u16string path = sandbox::pipePath(wide);
  const std::u16string prefix = u"\\\\.\\pipe\\";
  FUZZ_CHECK(path.compare(0, prefix.size(), prefix) == 0);
  FUZZ_CHECK(path == wide || path == prefix + wide);
  FUZZ_CHECK(sandbox::pipePath(path) == path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeaderBytes) return 0;
  ScriptedPeer peer;
  peer.failAt = data[0] < 16 ? data[0] : static_cast<std::size_t>(-1);
  peer.closeAtEnd = (data[1] & 1) != 0;
  std::memcpy(peer.caps, data + 2, 4);
  peer.data.assign(reinterpret_cast<const char*>(data) + kHeaderBytes, size - kHeaderBytes);

  if (announcedLength(peer.data, firstReadSize(peer)) > 65536) {
    return 0;
  }
  checkScriptedRead(peer);
  checkRoundTrip(peer.data, peer.caps);
  checkPipePath(peer.data);
  return 0;
}
