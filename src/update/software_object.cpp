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
// failure is reported with the calling function's line and reads as "".
std::string readProperty(const bus::Connection& connection,
                         const std::string& path,
                         const diag::Fail<const char*>& threw,
                         const char* interface, const char* property)
{
    try
    {
        return bus::getProperty(connection, names::biosUpdaterService, path,
                                interface, property);
    }
    catch (const std::exception& e)
    {
        diag::fail(threw, e.what());
    }
    return {};
}

// How the caller of a property write reports its two kinds of failure.
struct WriteReports
{
    // Formatted with the Version Id.
    const diag::Fail<const char*>& errorReply;
    const diag::Fail<const char*>& exception;
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
        diag::fail(reports.errorReply, versionId.c_str());
    }
    catch (const std::exception& e)
    {
        diag::fail(reports.exception, e.what());
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
    return readProperty(connection, path, lines::jobIdUnread,
                        names::jobControlInterface, names::jobIdProperty);
}

std::string SoftwareObject::getCommonFilePath() const
{
    return readProperty(connection, path, lines::filePathUnread,
                        names::filePathInterface, names::pathProperty);
}

std::string SoftwareObject::getVersion() const
{
    return readProperty(connection, path, lines::versionUnread,
                        names::versionInterface, names::versionProperty);
}

bool SoftwareObject::setReleaseType(std::uint8_t releaseType) const
{
    const char* value = releaseType == productionReleaseType
                            ? names::releaseTypeProduction
                            : names::releaseTypePrototype;
    return writeProperty(connection, path, version, names::versionInterface,
                         names::releaseTypeProperty, value,
                         {lines::releaseTypeRefused, lines::releaseTypeThrew});
}

bool SoftwareObject::setVersionIdStaged() const
{
    return writeProperty(connection, path, version, names::activationInterface,
                         names::activationProperty, names::activationStaged,
                         {lines::stagedRefused, lines::stagedThrew});
}

} // namespace update
