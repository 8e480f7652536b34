#pragma once

// Finds a job's bus object by the Job ID it carries.

#include "bus/bus.hpp"

#include <chrono>
#include <string>

namespace jobs
{

// A job's bus object: where it is and which service hosts it.
struct JobObject
{
    std::string objectPath;
    std::string serviceName;

    // A lookup that matched nothing (or failed) leaves both empty; either
    // one empty counts as no job.
    [[nodiscard]] bool found() const noexcept
    {
        return !objectPath.empty() && !serviceName.empty();
    }
};

// Object path and service name of the job object whose JobID equals jobId
// (exactly: same length, same bytes). The object mapper's answer is visited
// path by path, then service by service, in byte-wise order; the first match
// wins. Both strings are empty when nothing matched or the lookup failed;
// a failed lookup is reported on standard error. Never throws a bus error.
//
// The whole lookup, the mapper call and every candidate's read together,
// has the built-in job lookup deadline; when it runs out, the call under
// way fails with the bus library's timeout error and the lookup fails with
// it, like a failed mapper call. A candidate's read may take an eighth of
// that time: a candidate that does not answer within it is skipped, and so
// are the later candidates of its service, so that a service that never
// answers cannot hide a job listed after it however many objects it lists.
// A lookup that ran out of time also leaves a journal warning. The lookup
// runs on the run's bus connection and leaves its settings as they are.
[[nodiscard]] JobObject getObjPathServNameFromJobId(
    const bus::Connection& connection, const std::string& jobId);

// The same lookup with another overall time; for tests.
[[nodiscard]] JobObject getObjPathServNameFromJobId(
    const bus::Connection& connection, const std::string& jobId,
    std::chrono::milliseconds time);

} // namespace jobs
