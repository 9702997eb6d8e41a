// The control-message reader. Input: byte 0 the read that fails, bit 0 of byte 1 ends the data in
// a failed read (else a read of 0), bytes 2-5 cap reads in turn (0: none), the rest is sent.
#include "fuzz.h"
#include "ipc/framing.h"

bool readFrom(const std::string& data, const std::string& caps, std::size_t failAt, bool close,
              std::string& message) {
  std::size_t sent = 0, call = 0;
  bool over = false;  // a read failed or brought nothing: the reader must not read again
  const auto read = [&](char* buffer, std::size_t capacity, std::size_t& bytesRead) {
    FUZZ_CHECK(!over && capacity > 0);
    const std::size_t cap = static_cast<unsigned char>(caps[call % 4]);
    if (call++ == failAt || (sent == data.size() && close)) return !(over = true);
    sent += bytesRead = data.copy(buffer, std::min(capacity, cap == 0 ? capacity : cap), sent);
    over = bytesRead == 0;
    return true;
  };
  return readControlMessage(read, message);
}

void fuzzOne(const std::string& input) {
  if (input.size() < 6) return;
  const std::string caps = input.substr(2, 4), data = input.substr(6);
  // A length over 64 KiB in the first read (little-endian, as is this host) costs 16 MiB: skipped.
  const std::size_t cap = static_cast<unsigned char>(caps[0]);
  std::uint32_t announced = 0;
  data.copy(reinterpret_cast<char*>(&announced), cap == 0 ? 4 : std::min<std::size_t>(cap, 4));
  if (announced > 65536 && announced <= kMaxPrefixedMessageBytes) return;
  std::string message;
  readFrom(data, caps, static_cast<unsigned char>(input[0]), input[1] & 1, message);
  // What a service frames arrives whole, however the peer splits all but the first read.
  const std::string framed = frameWithLengthPrefix(data), split = '\0' + caps.substr(1);
  FUZZ_CHECK(data.empty() ||
             (readFrom(framed, split, SIZE_MAX, false, message) && message == data));
}
