#pragma once

// Finds a job's bus object by the Job ID it carries.

#include <chrono>
#include <string>
#include <utility>

namespace jobs
{

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
// that time: a candidate that does not answer within it is skipped, so that
// a service that never answers cannot hide a job listed after it.
std::pair<std::string, std::string> getObjPathServNameFromJobId(
    const std::string& jobId);

// The same lookup with another overall time; for tests.
std::pair<std::string, std::string> getObjPathServNameFromJobId(
    const std::string& jobId, std::chrono::milliseconds time);

} // namespace jobs
