// Shared by every target: a broken invariant aborts, so libFuzzer reports it and keeps the input.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#define FUZZ_CHECK(condition) ((condition) ? void() : std::abort())
namespace sandbox {}
using namespace sandbox;
void fuzzOne(const std::string& input);  // each target's checks of one input

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzOne(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
