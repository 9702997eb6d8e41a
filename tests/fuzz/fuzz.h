// The harness every fuzz target shares: libFuzzer's entry point hands the input over as bytes,
// and a broken invariant aborts, so that libFuzzer keeps the input as a crash artifact.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

[[noreturn]] inline void fuzzFailure(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, condition);
  std::abort();
}
#define FUZZ_CHECK(condition) ((condition) ? void() : fuzzFailure(__FILE__, __LINE__, #condition))

// Each target's checks of one input.
void fuzzOne(const std::string& input);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzOne(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
