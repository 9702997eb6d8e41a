// The --env-json dictionary parser and the environment block built from what it set.
#include "env/environment.h"
#include "fuzz.h"

void fuzzOne(const std::string& input) {
  EnvironmentMap env;
  parseEnvJson(env, input);
  // Each NAME=VALUE and its zero unit, then one more; an empty map still ends with two.
  std::size_t size = 1;
  for (const auto& [name, value] : env) {
    FUZZ_CHECK(!name.empty() && name.find(u'\0') == name.npos && value.find(u'\0') == value.npos);
    size += name.size() + value.size() + 2;
  }
  const std::u16string block = buildEnvironmentBlock(env);
  FUZZ_CHECK(block.size() == (env.empty() ? 2 : size) && block.ends_with(std::u16string(2, 0)));
}
