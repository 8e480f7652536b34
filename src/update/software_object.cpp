#include "update/software_object.hpp"

#include "bus/names.hpp"
#include "diag.hpp"

#include <exception>
#include <utility>

namespace update
{
namespace
{

constexpr std::uint8_t productionReleaseType = 0x02;

std::string softwareObjectPath(const std::string& versionId)
{
    std::string path = names::softwareRoot;
    if (!versionId.empty() && versionId.front() != '/')
    {
        path += '/';
    }
    path += versionId;
    return path;
}

// Reads one property of the software object at path as a string. A
// failure is reported with the calling function's name and number and reads
// as "".
std::string readProperty(const bus::Connection& connection,
                         const std::string& path, const char* function,
                         int number, const char* interface,
                         const char* property)
{
    try
    {
        return bus::getProperty(connection, names::biosUpdaterService, path,
                                interface, property);
    }
    catch (const std::exception& e)
    {
        diag::fail(function, number, bus::callFailedFormat, e.what());
    }
    return {};
}

// How the caller of a property write reports its two kinds of failure.
struct WriteReports
{
    const char* function;
    int errorReplyNumber;
    // Formatted with the Version Id.
    const char* errorReplyFormat;
    int exceptionNumber;
};

// Writes one string property of the software object at path; true when
// written.
bool writeProperty(const bus::Connection& connection, const std::string& path,
                   const std::string& versionId, const char* interface,
                   const char* property, const char* value,
                   const WriteReports& reports)
{
    try
    {
        const bus::Message reply =
            bus::setProperty(connection, names::biosUpdaterService, path,
                             interface, property, std::string(value));
        if (!reply.isMethodError())
        {
            return true;
        }
        diag::fail(reports.function, reports.errorReplyNumber,
                   reports.errorReplyFormat, versionId.c_str());
    }
    catch (const std::exception& e)
    {
        diag::fail(reports.function, reports.exceptionNumber,
                   bus::callFailedFormat, e.what());
    }
    return false;
}

} // namespace

SoftwareObject::SoftwareObject(const bus::Connection& connection,
                               std::string versionId) :
    connection(connection),
    version(std::move(versionId)), path(softwareObjectPath(version))
{}

std::string SoftwareObject::getJobID() const
{
    return readProperty(connection, path, "getJobID", 147,
                        names::jobControlInterface, names::jobIdProperty);
}

std::string SoftwareObject::getCommonFilePath() const
{
    return readProperty(connection, path, "getCommonFilePath", 65,
                        names::filePathInterface, names::pathProperty);
}

std::string SoftwareObject::getVersion() const
{
    return readProperty(connection, path, "getVersion", 124,
                        names::versionInterface, names::versionProperty);
}

bool SoftwareObject::setReleaseType(std::uint8_t releaseType) const
{
    const char* value = releaseType == productionReleaseType
                            ? names::releaseTypeProduction
                            : names::releaseTypePrototype;
    return writeProperty(connection, path, version, names::versionInterface,
                         names::releaseTypeProperty, value,
                         {"setReleaseType", 92,
                          "Unable to set releaseType for Version Id %s", 98});
}

bool SoftwareObject::setVersionIdStaged() const
{
    return writeProperty(connection, path, version, names::activationInterface,
                         names::activationProperty, names::activationStaged,
                         {"setVersionIdStaged", 242,
                          "Unable to set Version Id %s to Staged", 248});
}

} // namespace update
