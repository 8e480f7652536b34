#pragma once

// An update starts the staging directory afresh, removing the capsule an
// earlier update staged there, whose UPDATE task stays queued: the host
// would find that task naming a file that is gone, or the new capsule under
// the old job. The audit record warns of each such job.

#include <string>

namespace update
{

// Before the staging directory is removed: notes in the audit record a
// warning for every UPDATE task in the task list at `taskList`, of another
// job than `jobId`, that names a file in `stagingDirectory`. Prints
// nothing; a list that cannot be read gives no warning.
void warnOfSupersededUpdates(const std::string& stagingDirectory,
                             const std::string& taskList,
                             const std::string& jobId) noexcept;

} // namespace update
