// Lays a parsed configuration document over a SandboxConfig.
#pragma once

#include <string>

#include "config/config.h"
#include "config/json.h"

namespace sandbox {

// Changes exactly the fields whose keys the document holds and appends to the list fields.
// A root that is not an Object changes nothing. Never fails. "strict": true switches strict
// mode on; nothing switches it off.
void applyConfigDocument(const JsonValue& document, SandboxConfig& config);

// Strict mode's judgement of an object's members, in key order: the first whose key is no
// configuration key gives "Unknown configuration key: KEY"; the first whose value is not of its
// key's kind (a text, true or false, an object of texts, or an integral number from 0 to the
// largest value of the field) gives "Invalid value for configuration key: KEY". Empty when every
// member is sound.
std::string findDocumentFault(const JsonValue& document);

// Reads a configuration document from its text as parseJson does and lays it over `config`;
// text that does not parse changes nothing. In strict mode (config.strict, or "strict": true in
// the document itself, wherever the member stands) returns the document's fault:
// "Configuration is not a valid JSON object: SOURCE" unless the text is one whole object, else
// findDocumentFault's. Empty otherwise. A document with a fault is still applied, so that the
// report of the refusal reaches the channels the document names.
std::string applyConfigText(const std::string& text, const std::string& source,
                            SandboxConfig& config);

}  // namespace sandbox
