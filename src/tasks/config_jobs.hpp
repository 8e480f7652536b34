#pragma once

// BIOS-configuration jobs queued in the task list for the next host boot.

namespace tasks
{

// The exported BIOS configuration that a file-kind export names.
inline constexpr const char* exportedConfigPath =
    "/var/lib/qorad/BIOS_Config.json";

// Queues an export job; force always asks for the file kind. A pending
// import blocks the export and leaves the task list untouched: the export is
// done with all the same. False when the task list's lock could not be taken
// (reported, nothing queued).
[[nodiscard]] bool exportBIOSConfig(bool force);

// Queues an import job in place of any pending import or export and prints
// the queued milestone. False when the task list's lock could not be taken
// (reported, nothing queued).
[[nodiscard]] bool importBIOSConfig();

} // namespace tasks
