#include "isolation/launch_win.h"

#include <cstdint>
#include <system_error>
#include <vector>

#include "common/handle_win.h"

namespace sandbox {
namespace {

FileFacts probeFile(const std::u16string& path) {
  std::error_code error;
  const std::filesystem::file_status status =
      std::filesystem::status(std::filesystem::path(toWide(path)), error);
  if (error) return {};
  return {std::filesystem::exists(status), std::filesystem::is_directory(status)};
}

// The process attribute list in a zeroed buffer of the size Windows asks for; deleted when this
// owner goes away, whatever became of the creation.
class AttributeList {
 public:
  AttributeList() = default;
  ~AttributeList() {
    if (initialized_) DeleteProcThreadAttributeList(get());
  }
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;

  // False when the list cannot be initialised; `error` then holds the system's code.
  bool initialize(DWORD count, DWORD& error) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, count, 0, &size);  // fails, giving the size
    buffer_.assign(size, 0);
    initialized_ = size > 0 && InitializeProcThreadAttributeList(get(), count, 0, &size);
    if (!initialized_) error = GetLastError();
    return initialized_;
  }
  // False when the system refuses the attribute (Wine, for one, refuses the AppContainer one).
  bool update(DWORD_PTR attribute, void* value, SIZE_T size) {
    return UpdateProcThreadAttribute(get(), 0, attribute, value, size, nullptr, nullptr) != FALSE;
  }
  LPPROC_THREAD_ATTRIBUTE_LIST get() {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
  }

 private:
  std::vector<unsigned char> buffer_;
  bool initialized_ = false;
};

// Windows reads an environment block up to its double zero: an empty string would offer one.
void* environmentPointer(const std::u16string* block) {
  static char16_t emptyBlock[2] = {0, 0};
  if (block == nullptr) return nullptr;
  return block->empty() ? emptyBlock : const_cast<char16_t*>(block->data());
}

// Standard handles and the attribute list only: no window, desktop or title settings.
STARTUPINFOEXW startupRecord(const LaunchRequest& request, LPPROC_THREAD_ATTRIBUTE_LIST list) {
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = request.stdInput;
  startup.StartupInfo.hStdOutput = request.stdOutput;
  startup.StartupInfo.hStdError = request.stdError;
  startup.lpAttributeList = list;
  return startup;
}

}  // namespace

std::u16string buildCommandLine(const std::string& exec,
                                const std::filesystem::path& workingDirectory) {
  return buildCommandLine(exec, fromWide(workingDirectory.wstring()), probeFile);
}

LaunchResult createSuspendedProcess(const LaunchRequest& request) {
  LaunchResult result;
  HANDLE inherited[3] = {request.stdInput, request.stdOutput, request.stdError};
  SID_AND_ATTRIBUTES capability{request.capabilitySid, SE_GROUP_ENABLED};
  SECURITY_CAPABILITIES capabilities{};
  capabilities.AppContainerSid = request.appContainerSid;
  if (request.capabilitySid != nullptr) {
    capabilities.Capabilities = &capability;
    capabilities.CapabilityCount = 1;
  }
  AttributeList attributes;
  if (!attributes.initialize(request.appContainerSid != nullptr ? 2 : 1, result.errorCode)) {
    result.failure = LaunchResult::Failure::AttributeList;
    return result;
  }
  attributes.update(PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited);
  if (request.appContainerSid != nullptr &&
      !attributes.update(PROC_THREAD_ATTRIBUTE_SECURITY_CAPABILITIES, &capabilities,
                         sizeof capabilities)) {
    result.failure = LaunchResult::Failure::AppContainer;
    result.errorCode = GetLastError();
    return result;
  }

  STARTUPINFOEXW startup = startupRecord(request, attributes.get());
  const std::u16string line = buildCommandLine(request.exec, request.workingDirectory);
  std::vector<wchar_t> commandLine(line.begin(), line.end());  // creation may write into it
  commandLine.push_back(L'\0');
  const std::wstring directory = request.workingDirectory.wstring();
  void* environment = environmentPointer(request.environmentBlock);

  const CreateAttempts outcome = runCreateAttempts(
      [&](std::uint32_t& error) {
        PROCESS_INFORMATION info{};
        if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                           request.creationFlags, environment,
                           directory.empty() ? nullptr : directory.c_str(), &startup.StartupInfo,
                           &info)) {
          result.info = info;
          return true;
        }
        error = GetLastError();
        return false;
      },
      [](std::uint32_t milliseconds) { Sleep(milliseconds); });
  if (!outcome.created) {
    result.failure = LaunchResult::Failure::CreateProcess;
    result.errorCode = outcome.error;
  }
  return result;
}

bool assignProcessToJob(HANDLE job, PROCESS_INFORMATION& info) {
  if (isValidHandle(job) && AssignProcessToJobObject(job, info.hProcess)) return true;
  TerminateProcess(info.hProcess, 1);
  closeHandleKeepError(info.hThread);
  closeHandleKeepError(info.hProcess);
  info.hThread = nullptr;
  info.hProcess = nullptr;
  return false;
}

}  // namespace sandbox
