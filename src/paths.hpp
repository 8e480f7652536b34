#pragma once

// Where the updater's files are. A run takes them as one value, made once
// in main and handed down to every step that opens, writes or names a file;
// the BMC's own are fixed (bmc()), and tests hand in others.

#include <string>

namespace paths
{

struct Paths
{
    // The task list: the queue of BIOS jobs the management daemon carries
    // out at the host's next boot (with its lock, intent copy and backups
    // beside it).
    std::string taskList;
    // The exported BIOS configuration that a file-kind export names.
    std::string exportedConfig;
    // The BIOS configuration that an import job applies.
    std::string pendingConfig;
    // Where the host's firmware picks up the staged capsule.
    std::string stagingDirectory;
    // The updater's scratch directory, made and removed by every update;
    // its parent must exist.
    std::string scratchDirectory;
    // The lock that serialises updates, in a directory only root can enter
    // (made by the updater when absent), so that no other user can hold it.
    std::string updateLock;
};

// The paths of the BMC, the same for every run.
Paths bmc();

} // namespace paths
