// Quoting of one argument for a Windows command line.
#pragma once

#include <string>

namespace sandbox {

// Quotes `argument` so that the C runtime's command-line splitting gives it back unchanged:
// returned as it is when it is non-empty and has no space, tab or double quote.
std::u16string quoteArgument(const std::u16string& argument);

}  // namespace sandbox
