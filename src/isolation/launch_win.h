// Starting the command: a suspended process that inherits exactly its three standard handles,
// then its assignment to the run's job.
#pragma once

#include <filesystem>
#include <string>

#include "common/win.h"
#include "isolation/job.h"
#include "isolation/launch.h"

namespace sandbox {

// Suspended, in a process group of its own, with a UTF-16 environment block, an extended startup
// record (the inherited-handle list) and no console window: 0x08080604.
inline constexpr DWORD kLaunchCreationFlags = CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP |
                                              CREATE_UNICODE_ENVIRONMENT |
                                              EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW;
static_assert(kLaunchCreationFlags == kCommandCreationFlags);
static_assert(CREATE_BREAKAWAY_FROM_JOB == kCreateBreakawayFromJob);

// buildCommandLine (isolation/launch.h) against the real file system; a path whose status cannot
// be read counts as missing.
std::u16string buildCommandLine(const std::string& exec,
                                const std::filesystem::path& workingDirectory);

struct LaunchRequest {
  std::string exec;  // the command text (UTF-8)
  // The complete environment, a block of "NAME=VALUE\0" entries ending in an extra zero unit; an
  // empty string counts as the empty block. Not owned. Null: the sandbox's own environment.
  const std::u16string* environmentBlock = nullptr;
  // The command's current directory and the base of its program. Empty: the sandbox's own.
  std::filesystem::path workingDirectory;
  // The command's standard streams: inheritable handles, still owned by the caller. They are the
  // only handles the command inherits.
  HANDLE stdInput = nullptr;
  HANDLE stdOutput = nullptr;
  HANDLE stdError = nullptr;
  // An AppContainer profile's identifier, or null to run as an ordinary process. Not owned.
  PSID appContainerSid = nullptr;
  // A capability the AppContainer token carries, enabled, or null for none. Not owned.
  PSID capabilitySid = nullptr;
  // kLaunchCreationFlags, with CREATE_BREAKAWAY_FROM_JOB where the command leaves the sandbox's
  // own job (placeCommandJob).
  DWORD creationFlags = kLaunchCreationFlags;
};

struct LaunchResult {
  enum class Failure {
    None,           // `info` holds the suspended process
    AttributeList,  // the attribute list could not be initialised; nothing was started
    AppContainer,   // the AppContainer attribute was refused; nothing was started
    CreateProcess,  // creation failed, after the retries
  };
  Failure failure = Failure::None;
  DWORD errorCode = 0;  // with a failure: the system's code of the failing call (last attempt)
  // On success, the process and its main thread; the caller owns and closes both handles.
  PROCESS_INFORMATION info{};
};

// Starts `request.exec` suspended, retrying while the program file is briefly locked
// (runCreateAttempts). With an AppContainer identifier the process gets it with the one capability
// given, or none; a system that refuses that attribute starts nothing.
LaunchResult createSuspendedProcess(const LaunchRequest& request);

// Puts the process into `job`. When `job` is null or the assignment fails, the process is
// terminated with exit code 1, both of its handles are closed and set to null, and false is
// returned.
bool assignProcessToJob(HANDLE job, PROCESS_INFORMATION& info);

}  // namespace sandbox
