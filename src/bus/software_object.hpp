#pragma once

// The software object that the BIOS update service publishes for a received
// image, addressed by its Version Id.

#include <string>

namespace software
{

// "/xyz/morvex_project/software" joined with the Version Id: one "/" between
// the two, none added when the Version Id is empty or begins with "/".
std::string objectPath(const std::string& versionId);

// The object's JobID; "" when the read failed (reported) or the value is not
// a string.
std::string getJobID(const std::string& versionId);

} // namespace software
