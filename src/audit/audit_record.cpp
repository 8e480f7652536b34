#include "audit/audit_record.hpp"

#include "build_identity.hpp"

#include <sys/uio.h>

// The record names the statement that failed itself; the sender's own
// source location means nothing to an operator.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

namespace audit
{
namespace
{

// The run in progress, if any. Failure lines are noted into it from
// diag::fail, wherever in the run they are written, so it is reachable
// without being handed down; Run sets and clears it.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
Run::Facts* current = nullptr;

// Syslog priorities of the record, by outcome.
constexpr int donePriority = 6;
constexpr int refusedPriority = 5;
constexpr int failedPriority = 4;

constexpr std::array operandFields{
    "BIOS_AUDIT_VERSION_ID",
    "BIOS_AUDIT_JOB_ID",
    "BIOS_AUDIT_PERCENTAGE",
    "BIOS_AUDIT_STATUS",
};

const char* commandName(Command command)
{
    switch (command)
    {
        case Command::startUpdate:
            return "startUpdate";
        case Command::updateStatus:
            return "updateStatus";
        case Command::exportBIOSConfig:
            return "exportBIOSConfig";
        case Command::forceExportBIOSConfig:
            return "forceExportBIOSConfig";
        case Command::importBIOSConfig:
            break;
    }
    return "importBIOSConfig";
}

const char* doneOutcome(Command command)
{
    switch (command)
    {
        case Command::startUpdate:
            return "staged";
        case Command::updateStatus:
            return "recorded";
        default:
            break;
    }
    return "queued";
}

bool queuesConfigJob(Command command)
{
    return command == Command::exportBIOSConfig ||
           command == Command::forceExportBIOSConfig ||
           command == Command::importBIOSConfig;
}

struct Verdict
{
    const char* outcome;
    Cause cause;
    int priority;
};

// How the run ended. Refused: it stopped with nothing changed that it was
// asked to change. Failed: it changed some of it, or claimed success to its
// caller without it (a task list that was not written). Failure lines of
// the event log and of a tolerated operand leave the outcome alone.
Verdict judge(const Run::Facts& facts)
{
    const Cause lineCause = facts.foundCause != Cause::none ? facts.foundCause
                            : facts.failure != nullptr ? facts.failure->cause
                                                       : facts.stopCause;
    const Verdict failed{"failed", lineCause, failedPriority};
    const Verdict refused{"refused", lineCause, refusedPriority};
    if (facts.writeError != 0)
    {
        return {"failed",
                lineCause != Cause::none ? lineCause : Cause::taskList,
                failedPriority};
    }
    if (queuesConfigJob(facts.command) && facts.writesAttempted == 0)
    {
        return {"refused",
                lineCause != Cause::none ? lineCause : Cause::pendingImport,
                refusedPriority};
    }
    if (!facts.done)
    {
        const bool changed =
            facts.writesDone > 0 || lineCause == Cause::taskList;
        return changed ? failed : refused;
    }
    if (lineCause != Cause::none && lineCause != Cause::eventLog &&
        lineCause != Cause::operands)
    {
        return failed;
    }
    return {doneOutcome(facts.command), lineCause, donePriority};
}

std::string hexByte(std::uint8_t value)
{
    std::array<char, 5> text{};
    std::snprintf(text.data(), text.size(), "0x%02x", value);
    return text.data();
}

std::string failureLine(const Run::Facts& facts)
{
    return facts.failure == nullptr
               ? std::string()
               : std::string(facts.failure->function) + "." +
                     std::to_string(facts.failure->number);
}

const char* taskListState(const Run::Facts& facts)
{
    if (facts.writesAttempted == 0)
    {
        return "untouched";
    }
    return facts.writeError == 0 ? "written" : "not written";
}

// The readable summary: command, operands, outcome, cause and failure line,
// and what a task list that was not written means.
std::string summary(const Run::Facts& facts, const Verdict& verdict)
{
    std::string text = commandName(facts.command);
    for (const std::string& operand : facts.operands)
    {
        if (!operand.empty())
        {
            text += " " + operand;
        }
    }
    text += ": ";
    text += verdict.outcome;
    const std::string line = failureLine(facts);
    if (verdict.cause != Cause::none)
    {
        text += std::string(" (") + diag::causeName(verdict.cause) +
                (line.empty() ? "" : " at " + line) + ")";
    }
    for (const std::string& warning : facts.warnings)
    {
        text += "; " + warning;
    }
    if (!facts.decompressorFailure.empty())
    {
        text += "; xz not started (" + facts.decompressorFailure + ": " +
                std::strerror(facts.decompressorError) + ")";
    }
    if (facts.writeError != 0)
    {
        text += std::string("; task list not written: ") +
                std::strerror(facts.writeError);
        if (!facts.capsuleSha512.empty())
        {
            text += "; the capsule is staged but its update is not queued";
        }
    }
    return text;
}

void addDecompressorFields(const Run::Facts& facts,
                           std::vector<std::string>& fields)
{
    if (!facts.decompressorRan)
    {
        return;
    }
    fields.push_back("BIOS_AUDIT_DECOMPRESSOR_CONFINEMENT=" +
                     facts.decompressorLayers);
    if (!facts.decompressorFailure.empty())
    {
        fields.push_back("BIOS_AUDIT_DECOMPRESSOR_FAILED=" +
                         facts.decompressorFailure);
        fields.push_back("BIOS_AUDIT_DECOMPRESSOR_ERRNO=" +
                         std::to_string(facts.decompressorError));
    }
}

std::vector<std::string> recordFields(const Run::Facts& facts)
{
    const Verdict verdict = judge(facts);
    std::vector<std::string> fields{
        std::string("MESSAGE_ID=") + messageId,
        "MESSAGE=" + summary(facts, verdict),
        "PRIORITY=" +
            std::to_string(facts.warnings.empty()
                               ? verdict.priority
                               : std::min(verdict.priority, failedPriority)),
        std::string("SYSLOG_IDENTIFIER=") + program_invocation_short_name,
        std::string("BIOS_AUDIT_COMMAND=") + commandName(facts.command),
        std::string("BIOS_AUDIT_OUTCOME=") + verdict.outcome,
        std::string("BIOS_AUDIT_TASK_LIST=") + taskListState(facts),
    };
    for (std::size_t i = 0; i < operandFields.size(); ++i)
    {
        if (!facts.operands.at(i).empty())
        {
            fields.push_back(std::string(operandFields.at(i)) + "=" +
                             facts.operands.at(i));
        }
    }
    if (verdict.cause != Cause::none)
    {
        fields.push_back(std::string("BIOS_AUDIT_CAUSE=") +
                         diag::causeName(verdict.cause));
    }
    if (const std::string line = failureLine(facts); !line.empty())
    {
        fields.push_back("BIOS_AUDIT_FAILURE=" + line);
    }
    for (const std::string& warning : facts.warnings)
    {
        fields.push_back("BIOS_AUDIT_WARNING=" + warning);
    }
    if (facts.writeError != 0)
    {
        fields.push_back("BIOS_AUDIT_TASK_LIST_ERRNO=" +
                         std::to_string(facts.writeError));
    }
    if (facts.verified)
    {
        fields.push_back("BIOS_AUDIT_RELEASE_TYPE=" +
                         hexByte(facts.releaseType));
        if (*build::manifestRootKeySha256 != '\0')
        {
            fields.push_back(std::string("BIOS_AUDIT_ROOT_KEY_SHA256=") +
                             build::manifestRootKeySha256);
        }
    }
    if (!facts.capsuleSha512.empty())
    {
        fields.push_back("BIOS_AUDIT_CAPSULE_SHA512=" + facts.capsuleSha512);
    }
    addDecompressorFields(facts, fields);
    return fields;
}

void setOperand(Run::Facts& facts, Operand which,
                const std::string& value) noexcept
{
    try
    {
        facts.operands.at(static_cast<std::size_t>(which)) = value;
    }
    catch (const std::exception&)
    {
        // Out of memory: the record goes without it.
    }
}

void send(const Run::Facts& facts)
{
    const std::vector<std::string> fields = recordFields(facts);
    std::vector<iovec> parts;
    parts.reserve(fields.size());
    for (const std::string& field : fields)
    {
        // sd-journal only reads through the pointers.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
        parts.push_back({const_cast<char*>(field.data()), field.size()});
    }
    // A journal that is not there or refuses the record is not noticed.
    (void)sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
}

} // namespace

Run::Run(Command command) noexcept
{
    facts.command = command;
    current = &facts;
}

Run::~Run()
{
    current = nullptr;
    try
    {
        send(facts);
    }
    catch (const std::exception&)
    {
        // Out of memory: the record is lost, the run's outcome stands.
    }
}

void Run::operand(Operand which, const std::string& value) noexcept
{
    setOperand(facts, which, value);
}

void noteJobId(const std::string& jobId) noexcept
{
    if (current != nullptr)
    {
        setOperand(*current, Operand::jobId, jobId);
    }
}

void Run::finish(bool done, Cause cause) noexcept
{
    facts.done = done;
    facts.stopCause = cause;
}

void noteFailureLine(const diag::Entry& line) noexcept
{
    if (current != nullptr && current->failure == nullptr)
    {
        current->failure = &line;
    }
}

void noteCause(Cause cause) noexcept
{
    if (current != nullptr)
    {
        current->foundCause = cause;
    }
}

void noteTaskListWrite(int error) noexcept
{
    if (current == nullptr)
    {
        return;
    }
    ++current->writesAttempted;
    if (error == 0)
    {
        ++current->writesDone;
    }
    else if (current->writeError == 0)
    {
        current->writeError = error;
    }
}

void noteWarning(const std::string& text) noexcept
{
    if (current == nullptr)
    {
        return;
    }
    try
    {
        current->warnings.push_back(text);
    }
    catch (const std::exception&)
    {
        // Out of memory: the record goes without it.
    }
}

void noteVerified(std::uint8_t releaseType) noexcept
{
    if (current != nullptr)
    {
        current->verified = true;
        current->releaseType = releaseType;
    }
}

void noteStagedCapsule(const std::string& sha512Hex) noexcept
{
    if (current == nullptr)
    {
        return;
    }
    try
    {
        current->capsuleSha512 = sha512Hex;
    }
    catch (const std::exception&)
    {}
}

void noteDecompressor(const std::string& layers, const std::string& failure,
                      int error) noexcept
{
    if (current == nullptr)
    {
        return;
    }
    try
    {
        current->decompressorRan = true;
        current->decompressorLayers = layers;
        current->decompressorFailure = failure;
        current->decompressorError = error;
    }
    catch (const std::exception&)
    {
        // Out of memory: the record goes without them.
    }
}

void noteLookupOutOfTime(std::chrono::milliseconds deadline) noexcept
{
    // The warning's own priority: a job that may exist was reported missing.
    constexpr int warningPriority = 4;
    const auto milliseconds = static_cast<long long>(deadline.count());
    (void)sd_journal_send(
        "MESSAGE=job lookup ran out of its %lld ms before every job object "
        "was asked: the job was reported as not found, but may exist",
        milliseconds, "PRIORITY=%d", warningPriority, "SYSLOG_IDENTIFIER=%s",
        program_invocation_short_name, "BIOS_LOOKUP_DEADLINE_MS=%lld",
        milliseconds, nullptr);
}

} // namespace audit
