#pragma once

// One BIOS update, from the software object of a received image to a
// verified capsule staged for the host with its UPDATE and export tasks
// queued.

#include "paths.hpp"
#include "update/software_object.hpp"

#include <string>

namespace update
{

// The capsule of a received image: its path and its file name.
struct CapsuleFile
{
    std::string path;
    std::string name;
};

// The first entry of the image directory's "payload" sub-directory, in
// listing order, that exists (symbolic links followed). Both empty when
// there is none or on a failure, which is reported.
[[nodiscard]] CapsuleFile getPayload(const std::string& imageDirectory);

// Runs the update of the image whose software object is `image`, for the
// job jobId, with the scratch area, staging directory and task list of
// `paths`. 0 when the image is staged, 1 when the update was abandoned; every
// failure is reported on standard error. Concurrent updates are serialised
// from the removal of the staging directory to the queuing of the tasks.
[[nodiscard]] int startUpdate(const paths::Paths& paths,
                              const SoftwareObject& image,
                              const std::string& jobId);

} // namespace update
