// The --env-json dictionary parser and the environment block built from what it set.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/text.h"
#include "env/environment.h"
#include "fuzz_check.h"

namespace {

// The block as Windows reads it: NAME=VALUE strings up to the double terminator. Every string
// must hold a "=" after a non-empty name, and the strings must be the map's, in its order.
void checkBlock(const sandbox::EnvironmentMap& env, const std::u16string& block) {
  FUZZ_CHECK(block.size() >= 2);
  FUZZ_CHECK(block[block.size() - 1] == u'\0' && block[block.size() - 2] == u'\0');
  std::size_t pos = 0;
  std::size_t count = 0;
  auto expected = env.begin();
  while (pos < block.size() && block[pos] != u'\0') {
    const std::size_t end = block.find(u'\0', pos);
    FUZZ_CHECK(end != std::u16string::npos);
    const std::u16string entry = block.substr(pos, end - pos);
    // Windows looks for the separator from the second unit on (names such as =C: exist).
    FUZZ_CHECK(entry.find(u'=', 1) != std::u16string::npos);
    FUZZ_CHECK(expected != env.end());
    FUZZ_CHECK(entry == expected->first + u'=' + expected->second);
    ++expected;
    ++count;
    pos = end + 1;
  }
  // The reader stops at the first empty string: that must be the final terminator, after every
  // variable of the map.
  FUZZ_CHECK(count == env.size());
  FUZZ_CHECK(pos + 1 == block.size() || (env.empty() && block.size() == 2));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  sandbox::EnvironmentMap env;
  sandbox::parseEnvJson(env, text);

  const sandbox::EnvNameLess less;
  for (auto it = env.begin(); it != env.end(); ++it) {
    FUZZ_CHECK(!it->first.empty());
    auto next = it;
    if (++next != env.end()) FUZZ_CHECK(less(it->first, next->first));
  }
  checkBlock(env, sandbox::buildEnvironmentBlock(env));

  // Setting a variable again under another ASCII case replaces its value and keeps its spelling.
  if (!env.empty()) {
    const std::u16string name = env.begin()->first;
    const std::size_t before = env.size();
    std::u16string other = name;
    for (char16_t& unit : other) {
      if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
    }
    sandbox::setEnvVar(env, sandbox::utf16ToUtf8(other), "v");
    FUZZ_CHECK(env.size() == before && env.begin()->first == name);
    FUZZ_CHECK(env.begin()->second == u"v");
  }
  return 0;
}
