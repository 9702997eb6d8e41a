#include "isolation/toolchain.h"

namespace sandbox {
namespace {

constexpr std::uint8_t kInheritedAce = 0x10;

bool isOwnEntry(const AceFacts& ace) {
  return ace.forCapability && ace.type == kToolchainEntry.aceType &&
         (ace.flags & kInheritedAce) == 0;
}

// Why a grant or revoke failed, in the operator's words.
const char* failurePhrase(const StepFailure& failure) {
  if (failure.kind == StepFailure::Kind::Missing) {
    return "the capability cannot be derived on this system";
  }
  if (failure.kind == StepFailure::Kind::Win32) {
    switch (failure.code) {
      case 2:
      case 3:
        return "the directory does not exist";
      case 5:
        return "access denied: run it as an account allowed to change the directory's security";
      case 267:
        return "not a directory";
    }
  }
  return "its access list could not be changed";
}

}  // namespace

ToolchainAclPlan planToolchainAcl(const std::vector<AceFacts>& aces, bool grant) {
  ToolchainAclPlan plan;
  std::size_t own = 0;
  bool exact = false;
  for (std::size_t i = 0; i < aces.size(); ++i) {
    if (isOwnEntry(aces[i])) {
      ++own;
      exact = aces[i].flags == kToolchainEntry.aceFlags && aces[i].mask == kToolchainEntry.mask;
      continue;
    }
    if (grant && plan.insertAt == SIZE_MAX && (aces[i].flags & kInheritedAce) != 0) {
      plan.insertAt = plan.keep.size();
    }
    plan.keep.push_back(i);
  }
  if (grant && plan.insertAt == SIZE_MAX) plan.insertAt = plan.keep.size();
  plan.changed = grant ? !(own == 1 && exact) : own > 0;
  return plan;
}

std::string toolchainCommandLine(bool grant, ToolchainOutcome outcome, const std::string& directory,
                                 const std::string& capabilitySid, const StepFailure& failure) {
  const std::string capability = "the toolchain capability " + capabilitySid;
  switch (outcome) {
    case ToolchainOutcome::Changed:
      return grant ? "Granted read and execute on " + directory + " to " + capability +
                         ", inherited by everything below it."
                   : "Removed " + capability + " from " + directory + " and everything below it.";
    case ToolchainOutcome::Unchanged:
      return grant ? directory + " already grants read and execute to " + capability +
                         ": nothing changed."
                   : directory + " has no entry for " + capability + ": nothing changed.";
    case ToolchainOutcome::Failed:
      break;
  }
  return withReason(std::string(grant ? "Cannot grant" : "Cannot revoke") +
                        " the toolchain capability on " + directory + ": " + failurePhrase(failure),
                    failure);
}

}  // namespace sandbox
