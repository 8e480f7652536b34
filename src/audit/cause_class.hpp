#pragma once

// The cause class of a failure line: which part of the work failed, named
// for the operator (unwrap, manifest, signature, staging, lock, bus, task
// list, ...). Read from the line's function name and number.

namespace audit
{

enum class Cause
{
    none,
    unwrap,
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

// The class of the failure line "<function>.<number>"; Cause::none for a
// line the tool does not print.
Cause causeOf(const char* function, int number) noexcept;

// The class as the audit record names it ("task list", ...).
const char* causeName(Cause cause) noexcept;

} // namespace audit
