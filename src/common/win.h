// The one gateway to the Windows headers: every Windows file includes this, never <windows.h>.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // Windows 10: job, attribute-list and AppContainer declarations.
#endif
#ifndef UNICODE
#define UNICODE
#endif

#include <windows.h>

#include <string>

namespace sandbox {

// UTF-16 text of the portable core as the wide text Windows takes (both are 16-bit units).
inline const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline std::wstring toWide(const std::u16string& text) {
  return std::wstring(text.begin(), text.end());
}
inline std::u16string fromWide(const std::wstring& text) {
  return std::u16string(text.begin(), text.end());
}

}  // namespace sandbox
