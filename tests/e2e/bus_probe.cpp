// Calls one bus-layer function in-process and prints its result between
// brackets, so that end-to-end tests can drive code the tool's sub-commands
// reach only indirectly.
//
//   bus_probe getJobID <Version Id>
//   bus_probe lookup <Job ID> <milliseconds>   the job lookup, with that
//                                              overall time

#include "bus/job_lookup.hpp"
#include "bus/software_object.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char* argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "getJobID") == 0)
    {
        const std::string jobId = software::getJobID(argv[2]);
        std::printf("[%s]\n", jobId.c_str());
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "lookup") == 0)
    {
        const auto [path, service] = jobs::getObjPathServNameFromJobId(
            argv[2], std::chrono::milliseconds(std::atol(argv[3])));
        std::printf("[%s][%s]\n", path.c_str(), service.c_str());
        return 0;
    }
    std::fprintf(stderr, "usage: bus_probe getJobID <Version Id>\n"
                         "       bus_probe lookup <Job ID> <milliseconds>\n");
    return 2;
}
