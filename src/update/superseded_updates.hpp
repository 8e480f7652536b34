#pragma once

// An update starts the staging directory afresh, removing the capsule an
// earlier update staged there, whose UPDATE task stays queued: the host
// would find that task naming a file that is gone, or the new capsule under
// the old job. The audit record warns of each such job.

#include <string>
#include <vector>

namespace update
{

// Taken before the staging directory is removed: the files staged in it.
// When the update ends, whichever way, notes in the audit record a warning
// for every UPDATE task of the task list, of another job than the
// update's, that names one of them. Prints nothing; a list that cannot be
// read gives no warning. The list is read at the end, when the update has
// done with it.
class SupersededUpdates
{
  public:
    SupersededUpdates(const std::string& stagingDirectory,
                      const std::string& taskList,
                      const std::string& jobId) noexcept;
    ~SupersededUpdates();
    SupersededUpdates(const SupersededUpdates&) = delete;
    SupersededUpdates& operator=(const SupersededUpdates&) = delete;
    SupersededUpdates(SupersededUpdates&&) = delete;
    SupersededUpdates& operator=(SupersededUpdates&&) = delete;

  private:
    std::vector<std::string> staged;
    std::string taskList;
    std::string jobId;
};

} // namespace update
