#pragma once

// The audit record: one structured journal entry per run of a sub-command
// that changes state or refuses to (all but getJobStatus), beside the
// lines, files, bus writes and event logs the run produces anyway. It tells
// an operator what the run was asked to do, how it ended, the first failure
// line and its cause class, whether the task list was written, and for an
// update what was staged and what verified it.
//
//   int runStartUpdate(...)
//   {
//       audit::Run audit(audit::Command::startUpdate);
//       audit.operand(audit::Operand::versionId, versionId);
//       ...
//       audit.finish(result == 0);
//   }                                  // the record is sent here
//
// While a Run lives the steps of the run add what they learn through the
// note functions below; with no Run (tools, tests, benchmarks) those do
// nothing. Nothing here throws, and nothing here changes what the run
// prints or returns: a record that cannot be built or sent is dropped.

#include "diag/line.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace audit
{

using diag::Cause;

// Identifies the audit record in the journal (and in the journal catalog).
inline constexpr const char* messageId = "359a8a23db3c401da869a6c242d4df69";

enum class Command
{
    startUpdate,
    updateStatus,
    exportBIOSConfig,
    forceExportBIOSConfig,
    importBIOSConfig,
};

enum class Operand
{
    versionId,
    jobId,
    percentage,
    status,
};

class Run
{
  public:
    // Begins the record of one run; the current run until it ends. One at
    // a time.
    explicit Run(Command command) noexcept;
    // Sends the record.
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    Run(Run&&) = delete;
    Run& operator=(Run&&) = delete;

    void operand(Operand which, const std::string& value) noexcept;

    // done: the run did what it was asked to (it staged, queued or
    // recorded), as its exit status or milestone tells its caller. cause:
    // why a run that printed no failure line stopped.
    void finish(bool done, Cause cause = Cause::none) noexcept;

    // What the run has learnt so far; the note functions fill it in.
    struct Facts
    {
        Command command = Command::startUpdate;
        std::array<std::string, 4> operands;
        bool done = false;
        Cause stopCause = Cause::none;
        // The first failure line, and the cause the run found itself.
        const diag::Entry* failure = nullptr;
        Cause foundCause = Cause::none;
        int writesAttempted = 0;
        int writesDone = 0;
        // errno value of the first write that failed; 0 when none did.
        int writeError = 0;
        bool verified = false;
        std::uint8_t releaseType = 0;
        std::string capsuleSha512;
        // Work of other jobs the run lost, and what to do about it.
        std::vector<std::string> warnings;
        // The decompressor's confinement: the layers in force, and what
        // kept xz from starting ("start" or a layer) with its errno.
        bool decompressorRan = false;
        std::string decompressorLayers;
        std::string decompressorFailure;
        int decompressorError = 0;
    };

  private:
    Facts facts;
};

// Called by every failure line (diag::fail): the first one of the run is
// recorded.
void noteFailureLine(const diag::Entry& line) noexcept;

// The run found the cause of its failure itself (a scratch area too small
// for the image, a decompressor that is not there): it stands over the
// class of the failure line.
void noteCause(Cause cause) noexcept;

// The Job ID the run made for the job it queues (an import's).
void noteJobId(const std::string& jobId) noexcept;

// A write of the task list: 0 when the list was written, else the errno
// value of the step that failed.
void noteTaskListWrite(int error) noexcept;

// The run lost work queued by others (a staged capsule another job's task
// names, the jobs of a task list that could not be read): the text names it
// and says what to do. It raises the record to warning priority.
void noteWarning(const std::string& text) noexcept;

// The image verified, with this release type (it was verified by the
// manifest root key the tool was built to trust).
void noteVerified(std::uint8_t releaseType) noexcept;

// The capsule was staged; its copy's SHA-512 in lower-case hex.
void noteStagedCapsule(const std::string& sha512Hex) noexcept;

// The decompressor ran with `layers` of its confinement in force (names,
// comma-separated); `failure` names what kept xz from starting ("start",
// or a layer that could not be set up), empty when nothing did, and
// `error` its errno.
void noteDecompressor(const std::string& layers, const std::string& failure,
                      int error) noexcept;

// The job lookup ran out of its whole time (deadline) before it could tell
// whether the job exists; the caller still reports the job as not found.
// Sent at once as a warning of its own, also by getJobStatus, which leaves
// no record.
void noteLookupOutOfTime(std::chrono::milliseconds deadline) noexcept;

} // namespace audit
