#pragma once

// Finds a job's bus object by the Job ID it carries.

#include <string>
#include <utility>

namespace jobs
{

// Object path and service name of the job object whose JobID equals jobId
// (exactly: same length, same bytes). The object mapper's answer is visited
// path by path, then service by service, in byte-wise order; the first match
// wins. Both strings are empty when nothing matched or the lookup failed;
// a failed lookup is reported on standard error. Never throws a bus error.
std::pair<std::string, std::string> getObjPathServNameFromJobId(
    const std::string& jobId);

} // namespace jobs
