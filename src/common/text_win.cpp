#include "common/text.h"

#include <climits>

#include "common/win.h"

namespace sandbox {

std::u16string utf8ToUtf16(std::string_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int inputLength = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), inputLength, nullptr, 0);
  if (length <= 0) return {};
  std::u16string out(static_cast<std::size_t>(length), u'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), inputLength, reinterpret_cast<wchar_t*>(out.data()),
                      length);
  return out;
}

std::string utf16ToUtf8(std::u16string_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const auto* input = reinterpret_cast<const wchar_t*>(text.data());
  const int inputLength = static_cast<int>(text.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, input, inputLength, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, input, inputLength, out.data(), length, nullptr, nullptr);
  return out;
}

}  // namespace sandbox
