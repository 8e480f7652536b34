#include "bus/job_lookup.hpp"

#include "audit/audit_record.hpp"
#include "build_limits.hpp"
#include "bus/bus.hpp"
#include "bus/names.hpp"
#include "diag.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <set>
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

// The lookup's one deadline. Every call of the lookup waits at most the time
// left (a candidate's read: at most its share), so that a peer that never
// answers ends the call with the library's own timeout error.
class Deadline
{
  public:
    explicit Deadline(std::chrono::milliseconds time) :
        end(Clock::now() + time),
        share(std::chrono::duration_cast<std::chrono::microseconds>(time) /
              candidateShare)
    {}

    // What is left, at least one microsecond: a call made after the
    // deadline times out at once.
    [[nodiscard]] std::chrono::microseconds left() const
    {
        return std::max(std::chrono::duration_cast<std::chrono::microseconds>(
                            end - Clock::now()),
                        std::chrono::microseconds(1));
    }

    // The same for a candidate's read, which gets at most its share.
    [[nodiscard]] std::chrono::microseconds forCandidate() const
    {
        return std::min(left(), share);
    }

    [[nodiscard]] bool passed() const
    {
        return Clock::now() >= end;
    }

  private:
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
    bus::Message reply = bus::call(connection, request, deadline.left());
    return reply.readSubTree();
}

// Services that let a candidate's read time out: their other candidates are
// not asked, so that any number of hung objects costs one share of the time.
using HungServices = std::set<std::string, std::less<>>;

// Sends the prepared JobID read of one candidate and compares its value; on
// a match the candidate becomes the result. A candidate that cannot answer,
// or not within its share of the time, does not carry the job, unless the
// lookup's time ran out meanwhile: then its error ends the whole lookup.
bool matchCandidate(const bus::Connection& connection, bus::Message& request,
                    const std::string& jobId, const std::string& path,
                    const std::string& service, JobObject& result,
                    const Deadline& deadline, HungServices& hung)
{
    try
    {
        bus::Message reply =
            bus::call(connection, request, deadline.forCandidate());
        if (reply.readVariantString() != jobId)
        {
            return false;
        }
        result = {path, service};
        return true;
    }
    catch (const bus::BusError& e)
    {
        if (deadline.passed())
        {
            throw;
        }
        if (e.timedOut())
        {
            hung.insert(service);
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
    const Deadline deadline(time);
    try
    {
        const bus::SubTree subtree = readJobSubTree(connection, deadline);
        HungServices hung;
        for (const auto& [path, services] : subtree)
        {
            for (const auto& service : services)
            {
                if (hung.contains(service.first))
                {
                    continue;
                }
                bus::Message request = bus::newMethodCall(
                    connection, service.first, path, names::propertiesInterface,
                    names::propertyGet);
                request.append(std::string(names::jobControlInterface));
                request.append(std::string(names::jobIdProperty));
                if (matchCandidate(connection, request, jobId, path,
                                   service.first, result, deadline, hung))
                {
                    return result;
                }
            }
        }
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::lookupThrew, e.what());
        if (deadline.passed())
        {
            // The caller can only say "not found"; the journal says why.
            audit::noteLookupOutOfTime(time);
        }
    }
    return {};
}

} // namespace jobs
