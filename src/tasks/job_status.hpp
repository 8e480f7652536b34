#pragma once

// Status sub-commands acting on a job's bus object, found by its Job ID.

#include <cstdint>
#include <string>

namespace tasks
{

// 0 finished, 1 still running, 2 Job ID not found, 3 internal error.
int getJobStatus(const std::string& jobId);

// 1 when the job was not found or an operand was rejected, else 0.
int updateStatus(const std::string& jobId, const std::string& percentageText,
                 const std::string& statusText);

// True when the job's Progress was written.
bool updateStatusProgress(const std::string& objectPath,
                          const std::string& serviceName,
                          std::uint8_t percentage);

// True when the job's Activation was written; writes the closing event log
// whatever became of the bus writes.
bool updateStatusStatus(const std::string& objectPath,
                        const std::string& serviceName, std::uint8_t status);

} // namespace tasks
