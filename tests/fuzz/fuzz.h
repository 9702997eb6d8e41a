// The harness every fuzz target shares: a broken invariant aborts, so that libFuzzer reports the
// line with its stack trace and keeps the input as a crash artifact.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition) ((condition) ? void() : std::abort())

void fuzzOne(const std::string& input);  // each target's checks of one input

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzOne(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
