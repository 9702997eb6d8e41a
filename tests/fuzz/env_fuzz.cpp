// The --env-json dictionary parser and the environment block built from what it set.
#include <iterator>

#include "common/text.h"
#include "env/environment.h"
#include "fuzz.h"

using namespace sandbox;

void fuzzOne(const std::string& input) {
  EnvironmentMap env;
  parseEnvJson(env, input);
  // The block as Windows reads it: NAME=VALUE strings, in map order, up to the double zero; an
  // empty map still ends with two zero units.
  std::u16string expected;
  for (const auto& [name, value] : env) {
    FUZZ_CHECK(!name.empty() && name.find(u'\0') == std::u16string::npos);
    FUZZ_CHECK(value.find(u'\0') == std::u16string::npos);
    expected += name + u"=" + value + u'\0';
  }
  FUZZ_CHECK(buildEnvironmentBlock(env) ==
             (env.empty() ? std::u16string(2, u'\0') : expected + u'\0'));
  for (auto it = env.begin(); it != env.end() && std::next(it) != env.end(); ++it) {
    FUZZ_CHECK(EnvNameLess{}(it->first, std::next(it)->first));
  }
  // Setting a variable again under another ASCII case replaces its value and keeps its spelling.
  if (env.empty()) return;
  const std::u16string name = env.begin()->first;
  std::u16string upper = name;
  for (char16_t& unit : upper) {
    if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
  }
  const std::size_t size = env.size();
  setEnvVar(env, utf16ToUtf8(upper), "v");
  FUZZ_CHECK(env.size() == size && env.begin()->first == name && env.begin()->second == u"v");
}
