#include "isolation/appcontainer.h"

#include <cstddef>
#include <limits>

#include "common/text.h"

namespace sandbox {
namespace {

constexpr std::u16string_view kProfilePrefix = u"TesselSandbox_";

// Decimal digits as this program writes them: no sign, no leading zero (but "0"), at most `max`.
bool parseDecimal(std::u16string_view digits, std::uint64_t max, std::uint64_t& value) {
  if (digits.empty() || (digits.size() > 1 && digits[0] == u'0')) return false;
  value = 0;
  for (const char16_t c : digits) {
    const std::uint64_t digit = static_cast<std::uint64_t>(c) - u'0';
    if (c < u'0' || c > u'9' || value > (max - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

}  // namespace

std::u16string appContainerProfileName(std::uint32_t processId, std::uint64_t tickCount) {
  return utf8ToUtf16("TesselSandbox_" + std::to_string(processId) + "_" +
                     std::to_string(tickCount));
}

std::uint32_t directorySecurityParts(bool daclProtected) {
  // DACL_ (0x4) and LABEL_SECURITY_INFORMATION (0x10), with PROTECTED_ (0x80000000) or
  // UNPROTECTED_DACL_SECURITY_INFORMATION (0x20000000).
  return 0x4 | 0x10 | (daclProtected ? 0x80000000 : 0x20000000);
}

std::optional<std::uint32_t> profileOwnerId(std::u16string_view name) {
  if (name.size() <= kProfilePrefix.size() ||
      !sameNameIgnoringCase(name.substr(0, kProfilePrefix.size()), kProfilePrefix)) {
    return std::nullopt;
  }
  const std::u16string_view rest = name.substr(kProfilePrefix.size());
  const std::size_t split = rest.find(u'_');
  std::uint64_t id = 0, tick = 0;
  if (split == std::u16string_view::npos ||
      !parseDecimal(rest.substr(0, split), std::numeric_limits<std::uint32_t>::max(), id) ||
      !parseDecimal(rest.substr(split + 1), std::numeric_limits<std::uint64_t>::max(), tick)) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(id);
}

bool isStaleProfile(std::u16string_view name, std::u16string_view ownName, std::uint32_t ownId,
                    OwnerState owner) {
  const std::optional<std::uint32_t> id = profileOwnerId(name);
  return id && !sameNameIgnoringCase(name, ownName) && (*id == ownId || owner == OwnerState::Ended);
}

std::u16string profilesFolder(std::u16string_view folder, std::u16string_view name) {
  for (std::size_t end = folder.size(); end > 0;) {
    const std::size_t cut = folder.find_last_of(u"\\/", end - 1);
    if (cut == std::u16string_view::npos) break;
    if (sameNameIgnoringCase(folder.substr(cut + 1, end - cut - 1), name)) {
      return std::u16string(folder.substr(0, cut));
    }
    end = cut;
  }
  return {};
}

}  // namespace sandbox
