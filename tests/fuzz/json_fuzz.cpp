// The configuration JSON reader and the document laid over a configuration.
#include "config/document.h"
#include "config/json.h"
#include "fuzz.h"

void fuzzOne(const std::string& input) {
  JsonValue document;
  if (!parseJson(input, document)) return;
  // The document changes only what it names; applied again, only the lists grow.
  SandboxConfig once;
  applyConfigDocument(document, once);
  SandboxConfig twice = once;
  applyConfigDocument(document, twice);
  FUZZ_CHECK(twice.env.size() == 2 * once.env.size());
  twice.env = once.env;
  twice.writeFiles = once.writeFiles;
  twice.copyFiles = once.copyFiles;
  FUZZ_CHECK(twice == once);
}
