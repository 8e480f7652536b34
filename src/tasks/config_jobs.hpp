#pragma once

// BIOS-configuration jobs queued in the task list for the next host boot.

#include "paths.hpp"

namespace tasks
{

// Queues an export job in the task list (paths.taskList); force always asks
// for the file kind, which names paths.exportedConfig, and so does an export
// when that file cannot be opened. A pending import blocks the export and
// leaves the task list untouched: the export is done with all the same.
// False when the task list's lock could not be taken (reported, nothing
// queued).
[[nodiscard]] bool exportBIOSConfig(const paths::Paths& paths, bool force);

// Queues an import job of paths.pendingConfig in place of any pending import
// or export and prints the queued milestone. False when the task list's lock
// could not be taken (reported, nothing queued).
[[nodiscard]] bool importBIOSConfig(const paths::Paths& paths);

} // namespace tasks
