#include "update/software_object.hpp"

#include "bus/bus.hpp"
#include "bus/names.hpp"
#include "diag.hpp"

#include <exception>

namespace update
{
namespace
{

constexpr std::uint8_t productionReleaseType = 0x02;

// Reads one property of the software object as a string. A failure is
// reported with the calling function's name and number and reads as "".
std::string readProperty(const char* function, int number,
                         const std::string& versionId, const char* interface,
                         const char* property)
{
    try
    {
        const auto connection = bus::Connection::systemDefault();
        return bus::getProperty(connection, names::biosUpdaterService,
                                objectPath(versionId), interface, property);
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

// Writes one string property of the software object; true when written.
bool writeProperty(const std::string& versionId, const char* interface,
                   const char* property, const char* value,
                   const WriteReports& reports)
{
    try
    {
        const auto connection = bus::Connection::systemDefault();
        const bus::Message reply = bus::setProperty(
            connection, names::biosUpdaterService, objectPath(versionId),
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

std::string objectPath(const std::string& versionId)
{
    std::string path = names::softwareRoot;
    if (!versionId.empty() && versionId.front() != '/')
    {
        path += '/';
    }
    path += versionId;
    return path;
}

std::string getJobID(const std::string& versionId)
{
    return readProperty("getJobID", 147, versionId, names::jobControlInterface,
                        names::jobIdProperty);
}

std::string getCommonFilePath(const std::string& versionId)
{
    return readProperty("getCommonFilePath", 65, versionId,
                        names::filePathInterface, names::pathProperty);
}

std::string getVersion(const std::string& versionId)
{
    return readProperty("getVersion", 124, versionId, names::versionInterface,
                        names::versionProperty);
}

bool setReleaseType(const std::string& versionId, std::uint8_t releaseType)
{
    const char* value = releaseType == productionReleaseType
                            ? names::releaseTypeProduction
                            : names::releaseTypePrototype;
    return writeProperty(versionId, names::versionInterface,
                         names::releaseTypeProperty, value,
                         {"setReleaseType", 92,
                          "Unable to set releaseType for Version Id %s", 98});
}

bool setVersionIdStaged(const std::string& versionId)
{
    return writeProperty(versionId, names::activationInterface,
                         names::activationProperty, names::activationStaged,
                         {"setVersionIdStaged", 242,
                          "Unable to set Version Id %s to Staged", 248});
}

} // namespace update
