#pragma once

// Status sub-commands acting on a job's bus object, found by its Job ID.

#include "bus/bus.hpp"
#include "bus/job_lookup.hpp"
#include "paths.hpp"

#include <cstdint>
#include <string>

namespace tasks
{

// Both sub-commands find the job and talk to its object on the run's bus
// connection, and return their exit status.

// 0 finished, 1 still running, 2 Job ID not found, 3 internal error.
[[nodiscard]] int getJobStatus(const bus::Connection& connection,
                               const std::string& jobId);

// 1 when the job was not found or an operand was rejected, else 0. A job
// that ends leaves the task list (paths.taskList).
[[nodiscard]] int updateStatus(const bus::Connection& connection,
                               const paths::Paths& paths,
                               const std::string& jobId,
                               const std::string& percentageText,
                               const std::string& statusText);

// The operands of updateStatus as read: the Update Percentage (0 to 100)
// and the Update Status (0 to 3).
struct StatusOperands
{
    int percentage = 0;
    int status = 0;
};

// Reads the operands of updateStatus for the job jobId. A percentage that is
// no number reads as 0. False when an operand is rejected, reported on
// standard error; operands may then hold a part of what was read.
[[nodiscard]] bool readStatusOperands(const std::string& jobId,
                                      const std::string& percentageText,
                                      const std::string& statusText,
                                      StatusOperands& operands);

// True when the job's Progress was written.
[[nodiscard]] bool updateStatusProgress(const bus::Connection& connection,
                                        const jobs::JobObject& job,
                                        std::uint8_t percentage);

// True when the job's Activation was written; writes the closing event log
// whatever became of the bus writes.
[[nodiscard]] bool updateStatusStatus(const bus::Connection& connection,
                                      const jobs::JobObject& job,
                                      std::uint8_t status);

} // namespace tasks
