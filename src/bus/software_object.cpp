#include "bus/software_object.hpp"

#include "bus/bus.hpp"
#include "bus/names.hpp"
#include "diag.hpp"

#include <exception>

namespace software
{

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
    try
    {
        const auto connection = bus::Connection::systemDefault();
        return bus::getProperty(
            connection, names::biosUpdaterService, objectPath(versionId),
            names::jobControlInterface, names::jobIdProperty);
    }
    catch (const std::exception& e)
    {
        diag::fail("getJobID", 147, bus::callFailedFormat, e.what());
    }
    return {};
}

} // namespace software
