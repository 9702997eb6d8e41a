#include "isolation/appcontainer.h"

#include "common/text.h"

namespace sandbox {

std::u16string appContainerProfileName(std::uint32_t processId, std::uint64_t tickCount) {
  return utf8ToUtf16("TesselSandbox_" + std::to_string(processId) + "_" +
                     std::to_string(tickCount));
}

}  // namespace sandbox
