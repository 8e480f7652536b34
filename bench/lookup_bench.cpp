// Cost of getJobStatus for a job found last among the mapper's candidates,
// against a plain sd-bus loop that makes the same calls on the same bus.
//
//   lookup_bench <Job ID> <candidates> <rounds>
//
// The bus (DBUS_SYSTEM_BUS_ADDRESS) must host the job objects; the script
// lookup_bench.py sets one up. Both variants run alternately, round after
// round, so that drift in the peer's speed hits them alike.

#include "bus/bus.hpp"
#include "bus/names.hpp"
#include "tasks/job_status.hpp"

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{

using BusPtr = std::unique_ptr<sd_bus, bus::BusUnref>;
using MessagePtr = std::unique_ptr<sd_bus_message, bus::MessageUnref>;

[[noreturn]] void die(const char* step, int result)
{
    std::fprintf(stderr, "lookup_bench: %s: %s\n", step,
                 std::strerror(-result));
    std::exit(1);
}

void check(int result, const char* step)
{
    if (result < 0)
    {
        die(step, result);
    }
}

BusPtr openBus()
{
    sd_bus* bus = nullptr;
    check(sd_bus_default_system(&bus), "sd_bus_default_system");
    return BusPtr(bus);
}

MessagePtr callMethod(sd_bus* bus, sd_bus_message* request)
{
    sd_bus_message* reply = nullptr;
    check(sd_bus_call(bus, request, 0, nullptr, &reply), "sd_bus_call");
    return MessagePtr(reply);
}

MessagePtr getProperty(sd_bus* bus, const char* service, const char* path,
                       const char* interface, const char* property)
{
    sd_bus_message* request = nullptr;
    check(sd_bus_message_new_method_call(bus, &request, service, path,
                                         names::propertiesInterface,
                                         names::propertyGet),
          "new_method_call Get");
    const MessagePtr owned(request);
    check(sd_bus_message_append(request, "ss", interface, property),
          "append Get");
    return callMethod(bus, request);
}

std::string readVariantString(sd_bus_message* reply)
{
    const char* value = nullptr;
    if (sd_bus_message_read(reply, "v", "s", &value) < 0)
    {
        return {};
    }
    return value;
}

// A job object on the bus: its path and the service that owns it.
struct JobObject
{
    std::string path;
    std::string service;
};

using Candidates = std::vector<JobObject>;

Candidates readCandidates(sd_bus_message* reply)
{
    Candidates candidates;
    check(sd_bus_message_enter_container(reply, 'a', "{sa{sas}}"), "a");
    while (sd_bus_message_enter_container(reply, 'e', "sa{sas}") > 0)
    {
        const char* path = nullptr;
        check(sd_bus_message_read(reply, "s", &path), "path");
        check(sd_bus_message_enter_container(reply, 'a', "{sas}"), "a2");
        while (sd_bus_message_enter_container(reply, 'e', "sas") > 0)
        {
            const char* service = nullptr;
            check(sd_bus_message_read(reply, "s", &service), "service");
            check(sd_bus_message_skip(reply, "as"), "as");
            candidates.push_back({path, service});
            check(sd_bus_message_exit_container(reply), "exit e2");
        }
        check(sd_bus_message_exit_container(reply), "exit a2");
        check(sd_bus_message_exit_container(reply), "exit e");
    }
    check(sd_bus_message_exit_container(reply), "exit a");
    return candidates;
}

JobObject plainLookup(const std::string& jobId)
{
    const BusPtr bus = openBus();
    sd_bus_message* request = nullptr;
    check(sd_bus_message_new_method_call(
              bus.get(), &request, names::mapperService, names::mapperPath,
              names::mapperInterface, names::mapperGetSubTree),
          "new_method_call GetSubTree");
    const MessagePtr owned(request);
    check(sd_bus_message_append(request, "sias", names::subtreeRoot, 0, 1,
                                names::jobControlInterface),
          "append GetSubTree");
    const MessagePtr reply = callMethod(bus.get(), request);
    for (const JobObject& candidate : readCandidates(reply.get()))
    {
        const MessagePtr value = getProperty(
            bus.get(), candidate.service.c_str(), candidate.path.c_str(),
            names::jobControlInterface, names::jobIdProperty);
        if (readVariantString(value.get()) == jobId)
        {
            return candidate;
        }
    }
    return {};
}

// The same bus traffic as getJobStatus, written directly on sd-bus.
int plainJobStatus(const std::string& jobId)
{
    const JobObject job = plainLookup(jobId);
    if (job.path.empty())
    {
        return 2;
    }
    const BusPtr bus = openBus();
    const MessagePtr reply =
        getProperty(bus.get(), job.service.c_str(), job.path.c_str(),
                    names::activationInterface, names::activationProperty);
    const std::string activation = readVariantString(reply.get());
    return activation == names::activationActive ||
                   activation == names::activationFailed
               ? 0
               : 1;
}

// getJobStatus as one run of the tool makes it: on a connection of its own.
int toolJobStatus(const std::string& jobId)
{
    const auto connection = bus::Connection::systemDefault();
    return tasks::getJobStatus(connection, jobId);
}

using Clock = std::chrono::steady_clock;

template <typename Run>
double timeOne(Run run, const std::string& jobId, int expected)
{
    const auto start = Clock::now();
    const int status = run(jobId);
    const auto end = Clock::now();
    if (status != expected)
    {
        std::fprintf(stderr, "lookup_bench: status %d, expected %d\n", status,
                     expected);
        std::exit(1);
    }
    return std::chrono::duration<double, std::micro>(end - start).count();
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 4)
    {
        std::fprintf(stderr,
                     "usage: lookup_bench <Job ID> <candidates> <rounds>\n");
        return 2;
    }
    const std::string jobId = argv[1];
    const long candidates = std::strtol(argv[2], nullptr, 10);
    const long rounds = std::strtol(argv[3], nullptr, 10);
    if (candidates <= 0 || rounds <= 0)
    {
        std::fprintf(stderr, "lookup_bench: bad counts\n");
        return 2;
    }

    // Warm-up, and the status both variants must give.
    const int expected = toolJobStatus(jobId);
    (void)timeOne(plainJobStatus, jobId, expected);

    double toolTotal = 0;
    double plainTotal = 0;
    for (long round = 0; round < rounds; ++round)
    {
        toolTotal += timeOne(toolJobStatus, jobId, expected);
        plainTotal += timeOne(plainJobStatus, jobId, expected);
    }
    const double tool = toolTotal / static_cast<double>(rounds);
    const double plain = plainTotal / static_cast<double>(rounds);
    const auto perCandidate = static_cast<double>(candidates);
    std::printf("candidates=%ld rounds=%ld getJobStatus_us=%.0f "
                "plain_us=%.0f ratio=%.3f getJobStatus_us_per_candidate=%.1f "
                "plain_us_per_candidate=%.1f\n",
                candidates, rounds, tool, plain, tool / plain,
                tool / perCandidate, plain / perCandidate);
    return 0;
}
