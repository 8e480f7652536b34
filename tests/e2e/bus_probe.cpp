// Runs the job lookup with the given overall time, so that end-to-end tests
// reach its deadline without waiting for the tool's own, and prints its
// result between brackets.
//
//   bus_probe <Job ID> <milliseconds>

#include "bus/job_lookup.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    if (argc != 3)
    {
        std::fputs("usage: bus_probe <Job ID> <milliseconds>\n", stderr);
        return 2;
    }
    const auto connection = bus::Connection::systemDefault();
    const auto [path, service] = jobs::getObjPathServNameFromJobId(
        connection, argv[1],
        std::chrono::milliseconds(std::strtol(argv[2], nullptr, 10)));
    std::printf("[%s][%s]\n", path.c_str(), service.c_str());
    return 0;
}
