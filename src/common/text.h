// UTF-8 <-> UTF-16 conversion. All text inside the sandbox is UTF-8; UTF-16 only at Windows calls.
#pragma once

#include <string>
#include <string_view>

namespace sandbox {

// Converts UTF-8 to UTF-16 as MultiByteToWideChar(CP_UTF8, 0) does: never fails, and each
// malformed sequence becomes U+FFFD.
std::u16string utf8ToUtf16(std::string_view text);

// Converts UTF-16 to UTF-8 as WideCharToMultiByte(CP_UTF8, 0) does: an unpaired surrogate
// becomes U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);

// Equal but for the case of ASCII letters, as Windows compares file and profile names.
inline bool sameNameIgnoringCase(std::u16string_view left, std::u16string_view right) {
  const auto lower = [](char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
  };
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (lower(left[i]) != lower(right[i])) return false;
  }
  return true;
}

}  // namespace sandbox
