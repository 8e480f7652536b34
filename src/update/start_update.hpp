#pragma once

// One BIOS update, from the software object of a received image to a
// verified capsule staged for the host with its UPDATE and export tasks
// queued.

#include <string>
#include <utility>

namespace update
{

// Path and file name of the capsule: the first entry of the image
// directory's "payload" sub-directory, in listing order, that exists
// (symbolic links followed). Both empty when there is none or on a failure,
// which is reported.
std::pair<std::string, std::string> getPayload(
    const std::string& imageDirectory);

// Runs the update of the image published under versionId for the job jobId.
// 0 when the image is staged, 1 when the update was abandoned; every
// failure is reported on standard error. Concurrent updates are serialised
// from the removal of the staging directory to the queuing of the tasks.
int startUpdate(const std::string& versionId, const std::string& jobId);

} // namespace update
