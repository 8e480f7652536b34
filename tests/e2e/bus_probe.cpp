// Calls one bus-layer function in-process and prints its result between
// brackets, so that end-to-end tests can drive code the tool's sub-commands
// reach only indirectly.
//
//   bus_probe getJobID <Version Id>

#include "bus/software_object.hpp"

#include <cstdio>
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
    std::fprintf(stderr, "usage: bus_probe getJobID <Version Id>\n");
    return 2;
}
