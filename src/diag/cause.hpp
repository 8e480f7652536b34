#pragma once

// The cause class of a failure line: which party or part of the work an
// operator must look at (the capsule, the BMC's own state, the bus, the task
// list, ...). Each line of the catalogue (diag/lines.hpp) names its class;
// the audit record reports the class of the run's first failure line.

#include <array>

namespace diag
{

enum class Cause
{
    none,
    unwrap,
    bmcState,
    manifest,
    signature,
    staging,
    lock,
    bus,
    taskList,
    operands,
    eventLog,
    // Not a failure: an export held back by a pending import.
    pendingImport,
};

// The class as the audit record names it ("task list", ...).
constexpr const char* causeName(Cause cause)
{
    switch (cause)
    {
        case Cause::unwrap:
            return "unwrap";
        case Cause::bmcState:
            return "BMC state";
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

// Every class, for the programs that list them.
inline constexpr std::array causes{
    Cause::unwrap,   Cause::bmcState, Cause::manifest,      Cause::signature,
    Cause::staging,  Cause::lock,     Cause::bus,           Cause::taskList,
    Cause::operands, Cause::eventLog, Cause::pendingImport,
};

} // namespace diag
