// Arbitrary operands of updateStatus: the input is the Job ID, the Update
// Percentage and the Update Status, split at NUL bytes (as they could not
// be on a command line, so every byte else may occur). Accepted operands
// must lie in their ranges.

#include "fuzz_support.hpp"
#include "tasks/job_status.hpp"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz::quietProductLines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::array<std::string, 3> operands;
    for (std::string& operand : operands)
    {
        const std::size_t end = std::min(input.find('\0'), input.size());
        operand = input.substr(0, end);
        input.remove_prefix(std::min(end + 1, input.size()));
    }
    tasks::StatusOperands read;
    if (tasks::readStatusOperands(operands[0], operands[1], operands[2],
                                  read) &&
        (read.percentage < 0 || read.percentage > 100 || read.status < 0 ||
         read.status > 3))
    {
        std::abort();
    }
    return 0;
}
