// Writes seeds for status_operands_fuzz into the directory argv[1]: Job ID,
// percentage and status, NUL-separated, accepted ones and each way of being
// rejected.

#include "fuzz_support.hpp"

#include <array>
#include <cstdio>
#include <string>

int main(int argc, char* argv[])
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: status_operands_seeds <directory>\n");
        return 2;
    }
    const std::array<std::array<const char*, 3>, 12> operands = {{
        {"JID_1", "0", "0"},
        {"JID_1", "100", "1"},
        {"JID_1", "50", "3"},
        {"JID_1", " +7x", "2 "},
        {"JID_1", "101", "1"},
        {"JID_1", "-1", "1"},
        {"JID_1", "abc", "1"},
        {"JID_1", "50", "4"},
        {"JID_1", "50", "-0"},
        {"JID_1", "99999999999", "1"},
        {"JID_1", "50", "0x1"},
        {"%s%n", "", ""},
    }};
    int count = 0;
    for (const auto& [jobId, percentage, status] : operands)
    {
        const std::string seed =
            std::string(jobId) + '\0' + percentage + '\0' + status;
        if (!fuzz::writeSeed(argv[1], "seed-" + std::to_string(count++), seed))
        {
            std::fprintf(stderr,
                         "status_operands_seeds: could not write seeds\n");
            return 1;
        }
    }
    return 0;
}
