// The rows of the check, in the order an operator reads them.
#pragma once

#include <filesystem>
#include <functional>
#include <vector>

#include "check/judge.h"
#include "session_win.h"

namespace sandbox::check {

// Runs every row and calls `done` with each as soon as it is judged.
std::vector<Row> runRows(Session& session, const Options& options,
                         const std::function<void(const Row&)>& done);

// True where userenv.dll offers CreateAppContainerProfile.
bool appContainerAvailable();

// The appcontainer row: `self` (this program) is copied into the run's folder, which a container
// can read, and run confined there.
Row appContainerRow(Session& session, const std::filesystem::path& self);

}  // namespace sandbox::check
