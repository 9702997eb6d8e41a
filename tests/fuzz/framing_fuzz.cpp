// The control-message reader over a scripted peer, and the length prefix read back.
// Input: byte 0 picks the read call that fails (16 and above: none), bit 0 of byte 1 says whether
// the data ends in a failed read (the peer closed) or a read of 0 bytes, bytes 2-5 cap the size
// of successive reads (cycled; 0 is no cap), the rest is what the peer sends. Announced lengths
// over 64 KiB are skipped: each would cost up to 16 MiB on the path a smaller length takes.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz.h"
#include "ipc/framing.h"

using namespace sandbox;

struct Peer {
  Peer(std::string data, std::string caps, std::size_t failAt = SIZE_MAX, bool closeAtEnd = false)
      : data(std::move(data)), caps(std::move(caps)), failAt(failAt), closeAtEnd(closeAtEnd) {}

  std::string data, caps;  // caps: the largest size of each read, cycled; 0 is none
  std::size_t failAt, sent = 0;
  bool closeAtEnd, over = false;  // over: a read failed or brought nothing
  std::vector<std::size_t> deliveries;

  bool read(char* buffer, std::size_t capacity, std::size_t& bytesRead) {
    FUZZ_CHECK(!over && capacity > 0);    // nothing is read after a failure or the end
    std::memset(buffer, 0xA5, capacity);  // junk, as a real read may leave
    const std::size_t call = deliveries.size();
    if (call == failAt || (sent == data.size() && closeAtEnd)) {
      over = true;
      return false;
    }
    const std::size_t cap = static_cast<unsigned char>(caps[call % 4]);
    bytesRead = std::min({capacity, data.size() - sent, cap == 0 ? capacity : cap});
    std::memcpy(buffer, data.data() + sent, bytesRead);
    sent += bytesRead;
    deliveries.push_back(bytesRead);
    over = bytesRead == 0;
    return true;
  }
  bool readMessage(std::string& message) {
    message = "stale";
    return readControlMessage(
        [this](char* b, std::size_t c, std::size_t& n) { return read(b, c, n); }, message);
  }
};

std::uint32_t littleEndian(const std::string& bytes, std::size_t count) {
  std::uint32_t value = 0;
  while (count-- > 0) value = (value << 8) | static_cast<unsigned char>(bytes[count]);
  return value;
}

void fuzzOne(const std::string& input) {
  if (input.size() < 6) return;
  const auto failAt = static_cast<unsigned char>(input[0]);
  Peer peer(input.substr(6), input.substr(2, 4), failAt < 16 ? failAt : SIZE_MAX, input[1] & 1);
  const std::size_t firstRead = std::min<std::size_t>(
      {4, peer.data.size(), peer.caps[0] != 0 ? static_cast<unsigned char>(peer.caps[0]) : 4u});
  const std::uint32_t announced = littleEndian(peer.data, firstRead);
  if (announced > 65536 && announced <= kMaxPrefixedMessageBytes) return;
  std::string message;
  const bool ok = peer.readMessage(message);
  if (peer.deliveries.empty() || peer.deliveries[0] == 0) {
    FUZZ_CHECK(!ok && message.empty());
    return;
  }
  const std::size_t head = peer.deliveries[0];
  const std::uint32_t length = littleEndian(peer.data, head);
  if (length >= 1 && length <= kMaxPrefixedMessageBytes) {
    // Never past the announced message; all of it, or nothing.
    FUZZ_CHECK(peer.sent <= head + length && ok == (peer.sent == head + length));
    FUZZ_CHECK(message == (ok ? peer.data.substr(head, length) : std::string()));
  } else {
    // Raw: every byte read, in order, until a chunk after the head ends in a line feed or NUL.
    FUZZ_CHECK(ok && message == peer.data.substr(0, peer.sent));
    for (std::size_t i = 1, end = head; i < peer.deliveries.size(); ++i) {
      end += peer.deliveries[i];
      const bool last = i + 1 == peer.deliveries.size();
      const bool terminated = end > 0 && (message[end - 1] == '\n' || message[end - 1] == '\0');
      FUZZ_CHECK(peer.deliveries[i] == 0 ? last : terminated == (last && !peer.over));
    }
    FUZZ_CHECK(peer.over || peer.deliveries.size() >= 2);
  }
  // What a service frames arrives whole, however the peer splits the rest.
  if (!peer.data.empty()) {
    Peer framed(frameWithLengthPrefix(peer.data), std::string(1, '\0') + peer.caps.substr(1));
    FUZZ_CHECK(framed.readMessage(message) && message == peer.data);
  }
}
