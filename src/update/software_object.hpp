#pragma once

// The software object that the BIOS update service publishes for a received
// image, addressed by its Version Id: the properties an update reads from it
// and writes to it, on the run's bus connection. Each operation reports its
// own failures on standard error.

#include "bus/bus.hpp"

#include <cstdint>
#include <string>

namespace update
{

class SoftwareObject
{
  public:
    // The object of the image published under versionId. The connection
    // must outlive the object.
    SoftwareObject(const bus::Connection& connection, std::string versionId);

    const std::string& versionId() const noexcept
    {
        return version;
    }

    // "/xyz/morvex_project/software" joined with the Version Id: one "/"
    // between the two, none added when the Version Id is empty or begins
    // with "/".
    const std::string& objectPath() const noexcept
    {
        return path;
    }

    // The object's JobID; "" when the read failed or the value is not a
    // string.
    [[nodiscard]] std::string getJobID() const;

    // The directory of the received image (its "Path"); "" on any failure.
    [[nodiscard]] std::string getCommonFilePath() const;

    // The image's "Version"; "" on any failure.
    [[nodiscard]] std::string getVersion() const;

    // Records the release type byte from the image's manifest: 0x02 as
    // Production, any other value as Prototype. True when written.
    [[nodiscard]] bool setReleaseType(std::uint8_t releaseType) const;

    // Hands the image over to be applied: Activation becomes Staged. True
    // when written.
    [[nodiscard]] bool setVersionIdStaged() const;

  private:
    const bus::Connection& connection;
    std::string version;
    std::string path;
};

} // namespace update
