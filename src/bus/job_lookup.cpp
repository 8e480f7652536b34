#include "bus/job_lookup.hpp"

#include "bus/bus.hpp"
#include "bus/names.hpp"
#include "diag.hpp"

#include <cstdint>
#include <exception>
#include <vector>

namespace jobs
{
namespace
{

// Every object under the project root that implements the job interface.
bus::SubTree readJobSubTree(const bus::Connection& connection)
{
    bus::Message request =
        bus::newMethodCall(connection, names::mapperService, names::mapperPath,
                           names::mapperInterface, names::mapperGetSubTree);
    request.append(std::string(names::subtreeRoot));
    request.append(std::int32_t{0});
    request.append(std::vector<std::string>{names::jobControlInterface});
    bus::Message reply = bus::call(connection, request);
    return reply.readSubTree();
}

using JobObject = std::pair<std::string, std::string>;

// Sends the prepared JobID read of one candidate and compares its value; on
// a match the candidate becomes the result. A candidate that cannot answer
// does not carry the job.
bool matchCandidate(const bus::Connection& connection, bus::Message& request,
                    const std::string& jobId, const std::string& path,
                    const std::string& service, JobObject& result)
{
    try
    {
        bus::Message reply = bus::call(connection, request);
        if (reply.readVariantString() != jobId)
        {
            return false;
        }
        result = {path, service};
        return true;
    }
    catch (const bus::BusError&)
    {
        return false;
    }
}

} // namespace

std::pair<std::string, std::string> getObjPathServNameFromJobId(
    const std::string& jobId)
{
    JobObject result;
    try
    {
        const auto connection = bus::Connection::systemDefault();
        const bus::SubTree subtree = readJobSubTree(connection);
        for (const auto& [path, services] : subtree)
        {
            for (const auto& service : services)
            {
                bus::Message request = bus::newMethodCall(
                    connection, service.first, path, names::propertiesInterface,
                    names::propertyGet);
                request.append(std::string(names::jobControlInterface));
                request.append(std::string(names::jobIdProperty));
                if (matchCandidate(connection, request, jobId, path,
                                   service.first, result))
                {
                    return result;
                }
            }
        }
    }
    catch (const std::exception& e)
    {
        diag::fail("getObjPathServNameFromJobId", 221, bus::callFailedFormat,
                   e.what());
    }
    return {};
}

} // namespace jobs
