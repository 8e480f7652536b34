#pragma once

// The software object that the BIOS update service publishes for a received
// image, addressed by its Version Id: the properties an update reads from it
// and writes to it. Every function acquires the system bus afresh and
// reports its own failures on standard error.

#include <cstdint>
#include <string>

namespace update
{

// "/xyz/morvex_project/software" joined with the Version Id: one "/" between
// the two, none added when the Version Id is empty or begins with "/".
std::string objectPath(const std::string& versionId);

// The object's JobID; "" when the read failed or the value is not a string.
std::string getJobID(const std::string& versionId);

// The directory of the received image (its "Path"); "" on any failure.
std::string getCommonFilePath(const std::string& versionId);

// The image's "Version"; "" on any failure.
std::string getVersion(const std::string& versionId);

// Records the release type byte from the image's manifest: 0x02 as
// Production, any other value as Prototype. True when written.
bool setReleaseType(const std::string& versionId, std::uint8_t releaseType);

// Hands the image over to be applied: Activation becomes Staged. True when
// written.
bool setVersionIdStaged(const std::string& versionId);

} // namespace update
