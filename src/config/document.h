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
// key's kind gives "Invalid value for configuration key: KEY". The kinds: a text ("mode": exactly
// "run" or "compile"), true or false, an object of texts, or an integral number from 0 to the
// largest value of the field. Numbers are doubles: a 64-bit field takes those below 2^64, so at
// most 18446744073709549568 (2^64 - 2048, the largest double below it); 18446744073709551615
// reads as 2^64 and is refused with every text from 18446744073709550592 up. Empty when every
// member is sound.
std::string findDocumentFault(const JsonValue& document);

// Reads a configuration document from its text as parseJson does and lays it over `config`;
// text that does not parse changes nothing. Returns the document's fault as strict mode words
// it, whether or not strict mode is on (config.strict, or "strict": true in the document itself,
// wherever the member stands, which switches it on): "Configuration is not a valid JSON object:
// SOURCE" unless the text is one whole object, else findDocumentFault's; empty when it has none.
// A document with a fault is still applied, so that the report of a refusal reaches the channels
// the document names.
std::string applyConfigText(const std::string& text, const std::string& source,
                            SandboxConfig& config);

// Whether `text` is one whole JSON object whose members are all texts: what strict mode takes
// as an environment dictionary (--env-json and its file).
bool isJsonObjectOfTexts(const std::string& text);

}  // namespace sandbox
