#include "bus/job_lookup.hpp"

#include "build_limits.hpp"
#include "bus/bus.hpp"
#include "bus/names.hpp"
#include "diag.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <vector>

namespace jobs
{
namespace
{

using Clock = std::chrono::steady_clock;

// A candidate's read may take this share of the whole lookup's time: one
// that never answers is skipped like one that cannot answer, and the
// candidates after it are still asked.
constexpr int candidateShare = 8;

// The lookup's one deadline. Before each call the connection's method-call
// timeout, which every call of the lookup uses, is set to the time left (a
// candidate's read: at most its share), so that a peer that never answers
// ends the call with the library's own timeout error. The library's default
// comes back when the lookup ends.
class Deadline
{
  public:
    Deadline(const bus::Connection& connection,
             std::chrono::milliseconds time) :
        connection(connection),
        end(Clock::now() + time),
        share(std::chrono::duration_cast<std::chrono::microseconds>(time) /
              candidateShare)
    {}
    ~Deadline()
    {
        if (connection.get() != nullptr)
        {
            // Back to the connection's default; setting a timeout on a
            // connection fails only for a connection of another process,
            // and then no call of this run goes through it either.
            (void)sd_bus_set_method_call_timeout(connection.get(), 0);
        }
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
    Deadline(Deadline&&) = delete;
    Deadline& operator=(Deadline&&) = delete;

    // Gives the next call what is left, at least one microsecond: a call
    // made after the deadline times out at once.
    void beforeCall() const
    {
        limitNextCall(std::chrono::microseconds::max());
    }

    // The same for a candidate's read, which gets at most its share.
    void beforeCandidate() const
    {
        limitNextCall(share);
    }

    [[nodiscard]] bool passed() const
    {
        return Clock::now() >= end;
    }

  private:
    void limitNextCall(std::chrono::microseconds most) const
    {
        if (connection.get() == nullptr)
        {
            return;
        }
        const auto left = std::min(
            most, std::chrono::duration_cast<std::chrono::microseconds>(
                      end - Clock::now()));
        // Set aside as above: a limit that could not be set leaves this
        // call the connection's default.
        (void)sd_bus_set_method_call_timeout(
            connection.get(), static_cast<std::uint64_t>(
                                  std::max<std::int64_t>(left.count(), 1)));
    }

    const bus::Connection& connection;
    Clock::time_point end;
    std::chrono::microseconds share;
};

// Every object under the project root that implements the job interface.
bus::SubTree readJobSubTree(const bus::Connection& connection,
                            const Deadline& deadline)
{
    bus::Message request =
        bus::newMethodCall(connection, names::mapperService, names::mapperPath,
                           names::mapperInterface, names::mapperGetSubTree);
    request.append(std::string(names::subtreeRoot));
    request.append(std::int32_t{0});
    request.append(std::vector<std::string>{names::jobControlInterface});
    deadline.beforeCall();
    bus::Message reply = bus::call(connection, request);
    return reply.readSubTree();
}

// Sends the prepared JobID read of one candidate and compares its value; on
// a match the candidate becomes the result. A candidate that cannot answer,
// or not within its share of the time, does not carry the job, unless the
// lookup's time ran out meanwhile: then its error ends the whole lookup.
bool matchCandidate(const bus::Connection& connection, bus::Message& request,
                    const std::string& jobId, const std::string& path,
                    const std::string& service, JobObject& result,
                    const Deadline& deadline)
{
    try
    {
        deadline.beforeCandidate();
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
        if (deadline.passed())
        {
            throw;
        }
        return false;
    }
}

} // namespace

JobObject getObjPathServNameFromJobId(const bus::Connection& connection,
                                      const std::string& jobId)
{
    return getObjPathServNameFromJobId(connection, jobId,
                                       limits::jobLookupDeadline);
}

JobObject getObjPathServNameFromJobId(const bus::Connection& connection,
                                      const std::string& jobId,
                                      std::chrono::milliseconds time)
{
    JobObject result;
    try
    {
        const Deadline deadline(connection, time);
        const bus::SubTree subtree = readJobSubTree(connection, deadline);
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
                                   service.first, result, deadline))
                {
                    return result;
                }
            }
        }
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::lookupThrew, e.what());
    }
    return {};
}

} // namespace jobs
