#include "audit/cause_class.hpp"

#include <array>
#include <cstring>

namespace audit
{
namespace
{

// Stands for every number of a function that has no row of its own.
constexpr int anyNumber = 0;

struct LineClass
{
    const char* function;
    int number;
    Cause cause;
};

// Every failure line the tool prints, by function and number; a function
// whose lines share one class has a single row with anyNumber.
constexpr std::array lineClasses{
    LineClass{"main", 716, Cause::taskList},
    LineClass{"main", 735, Cause::taskList},
    LineClass{"main", 757, Cause::taskList},
    LineClass{"main", anyNumber, Cause::operands},
    LineClass{"getJobID", anyNumber, Cause::bus},
    LineClass{"getCommonFilePath", anyNumber, Cause::bus},
    LineClass{"getVersion", anyNumber, Cause::bus},
    LineClass{"getPayload", anyNumber, Cause::unwrap},
    LineClass{"uncompressBiosCapFile", anyNumber, Cause::unwrap},
    LineClass{"verifyBiosImage", 196, Cause::signature},
    LineClass{"verifyBiosImage", anyNumber, Cause::manifest},
    LineClass{"signature_verify", anyNumber, Cause::signature},
    LineClass{"setReleaseType", anyNumber, Cause::bus},
    LineClass{"setVersionIdStaged", anyNumber, Cause::bus},
    LineClass{"startUpdate", 258, Cause::bus},
    LineClass{"startUpdate", 265, Cause::bus},
    LineClass{"startUpdate", 272, Cause::unwrap},
    LineClass{"startUpdate", 297, Cause::unwrap},
    LineClass{"startUpdate", 307, Cause::manifest},
    LineClass{"startUpdate", 321, Cause::eventLog},
    LineClass{"startUpdate", 336, Cause::bus},
    LineClass{"startUpdate", 345, Cause::manifest},
    LineClass{"startUpdate", 354, Cause::staging},
    LineClass{"startUpdate", 360, Cause::staging},
    LineClass{"startUpdate", 372, Cause::staging},
    LineClass{"startUpdate", 382, Cause::taskList},
    LineClass{"startUpdate", 388, Cause::bus},
    LineClass{"startUpdate", 402, Cause::eventLog},
    LineClass{"startUpdate", 920, Cause::lock},
    LineClass{"startUpdate", 921, Cause::lock},
    LineClass{"startUpdate", 922, Cause::staging},
    LineClass{"exportBIOSConfig", 901, Cause::lock},
    LineClass{"importBIOSConfig", 902, Cause::lock},
    LineClass{"getObjPathServNameFromJobId", anyNumber, Cause::bus},
    LineClass{"getJobStatus", anyNumber, Cause::bus},
    LineClass{"updateStatus", 576, Cause::bus},
    LineClass{"updateStatus", 586, Cause::bus},
    LineClass{"updateStatus", 595, Cause::taskList},
    LineClass{"updateStatus", 903, Cause::lock},
    LineClass{"updateStatus", anyNumber, Cause::operands},
    LineClass{"updateStatusProgress", anyNumber, Cause::bus},
    LineClass{"updateStatusStatus", 506, Cause::eventLog},
    LineClass{"updateStatusStatus", 528, Cause::eventLog},
    LineClass{"updateStatusStatus", anyNumber, Cause::bus},
};

} // namespace

Cause causeOf(const char* function, int number) noexcept
{
    Cause wildcard = Cause::none;
    for (const LineClass& line : lineClasses)
    {
        if (std::strcmp(line.function, function) != 0)
        {
            continue;
        }
        if (line.number == number)
        {
            return line.cause;
        }
        if (line.number == anyNumber)
        {
            wildcard = line.cause;
        }
    }
    return wildcard;
}

const char* causeName(Cause cause) noexcept
{
    switch (cause)
    {
        case Cause::unwrap:
            return "unwrap";
        case Cause::manifest:
            return "manifest";
        case Cause::signature:
            return "signature";
        case Cause::staging:
            return "staging";
        case Cause::lock:
            return "lock";
        case Cause::bus:
            return "bus";
        case Cause::taskList:
            return "task list";
        case Cause::operands:
            return "operands";
        case Cause::eventLog:
            return "event log";
        case Cause::pendingImport:
            return "pending import";
        case Cause::none:
            break;
    }
    return "";
}

} // namespace audit
