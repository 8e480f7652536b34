#include "paths.hpp"

namespace paths
{

Paths bmc()
{
    return Paths{
        .taskList = "/var/lib/qorad/BIOS_task_list.json",
        .exportedConfig = "/var/lib/qorad/BIOS_Config.json",
        .pendingConfig = "/var/lib/qorad/pending/BIOS_Config.json",
        .stagingDirectory = "/tmp/tmpBIOSPayload",
        .scratchDirectory = "/mnt/scratchpad/biosscratchpad",
        .updateLock = "/run/morvex_bios_updater/update.lock",
    };
}

} // namespace paths
