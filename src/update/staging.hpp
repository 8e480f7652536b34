#pragma once

// The staging directory, where the host's firmware picks up the capsule of
// the last update: removed before an update verifies, created afresh (mode
// 0755, the host's to read, the updater's to write) once the capsule passed,
// and given the verified copy.

#include "update/background_call.hpp"
#include "update/capsule_snapshot.hpp"

#include <string>

namespace update
{

// Removes the staging directory and what an earlier update left in it;
// nothing is reported. The storage of the files removed is given back
// through storage.
void removeStagedCapsules(const std::string& stagingDirectory,
                          LateRelease& storage);

// Creates a fresh staging directory and publishes the verified copy of the
// capsule in it as capsuleName. Returns the staged capsule's path; "" on a
// failure, reported naming capsulePath.
[[nodiscard]] std::string stageCapsule(const std::string& stagingDirectory,
                                       const CapsuleSnapshot& snapshot,
                                       const std::string& capsulePath,
                                       const std::string& capsuleName);

} // namespace update
