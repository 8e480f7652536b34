// Runs the job lookup in-process with a given overall time and prints its
// result between brackets, so that end-to-end tests can reach its deadline
// without waiting for the tool's own.
//
//   bus_probe lookup <Job ID> <milliseconds>

#include "bus/job_lookup.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char* argv[])
{
    if (argc == 4 && std::strcmp(argv[1], "lookup") == 0)
    {
        const auto [path, service] = jobs::getObjPathServNameFromJobId(
            argv[2], std::chrono::milliseconds(std::atol(argv[3])));
        std::printf("[%s][%s]\n", path.c_str(), service.c_str());
        return 0;
    }
    std::fprintf(stderr, "usage: bus_probe lookup <Job ID> <milliseconds>\n");
    return 2;
}
