// Entry point of the BIOS updater: counts the command-line words, selects the
// sub-command case-insensitively from the verb table and returns its result
// as the exit status.

#include "audit/audit_record.hpp"
#include "diag.hpp"
#include "front_end/run_context.hpp"
#include "front_end/verb_table.hpp"
#include "paths.hpp"
#include "tasks/config_jobs.hpp"
#include "tasks/job_status.hpp"
#include "update/software_object.hpp"
#include "update/start_update.hpp"

#include <array>
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <string>

namespace
{

using front_end::RunContext;

constexpr int usageError = 1;
// getJobStatus's status for a failure of its own.
constexpr int internalError = 3;

// The export and the force export report an escaping exception each with a
// line of its own.
int runExport(const paths::Paths& paths, bool force,
              const diag::Fail<const char*>& threw)
{
    audit::Run audit(force ? audit::Command::forceExportBIOSConfig
                           : audit::Command::exportBIOSConfig);
    try
    {
        const bool done = tasks::exportBIOSConfig(paths, force);
        audit.finish(done);
        return done ? 0 : 1;
    }
    catch (const std::exception& e)
    {
        diag::fail(threw, e.what());
    }
    return 1;
}

int runExportBIOSConfig(RunContext& context, char* const* /*operands*/)
{
    return runExport(context.paths(), false, lines::exportThrew);
}

int runForceExportBIOSConfig(RunContext& context, char* const* /*operands*/)
{
    return runExport(context.paths(), true, lines::forceExportThrew);
}

int runImportBIOSConfig(RunContext& context, char* const* /*operands*/)
{
    audit::Run audit(audit::Command::importBIOSConfig);
    try
    {
        audit.finish(tasks::importBIOSConfig(context.paths()));
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::importThrew, e.what());
    }
    // Queued or not, an import reports 1.
    return 1;
}

// Copies the operands into `into`, one word each; a copy that throws is
// reported with the sub-command's own line.
bool copyOperands(const diag::Fail<const char*>& threw, char* const* words,
                  std::initializer_list<std::string*> into)
{
    try
    {
        for (std::string* operand : into)
        {
            *operand = *words++;
        }
        return true;
    }
    catch (const std::exception& e)
    {
        diag::fail(threw, e.what());
    }
    return false;
}

int runGetJobStatus(RunContext& context, char* const* operands)
{
    std::string jobId;
    if (!copyOperands(lines::jobStatusOperand, operands, {&jobId}) ||
        jobId.empty())
    {
        return 1;
    }
    return tasks::getJobStatus(context.bus(), jobId);
}

// The road of one update: the software object of the received image, the
// job it names, then the update itself.
int runStartUpdate(RunContext& context, char* const* operands)
{
    audit::Run audit(audit::Command::startUpdate);
    std::string versionId;
    if (!copyOperands(lines::updateOperand, operands, {&versionId}))
    {
        return 1;
    }
    audit.operand(audit::Operand::versionId, versionId);
    const update::SoftwareObject image(context.bus(), versionId);
    const std::string jobId = image.getJobID();
    if (jobId.empty())
    {
        // The software object names no job: the update service's fault.
        audit.finish(false, audit::Cause::bus);
        return 1;
    }
    audit.operand(audit::Operand::jobId, jobId);
    const int result = update::startUpdate(context.paths(), image, jobId);
    audit.finish(result == 0);
    return result;
}

int runUpdateStatus(RunContext& context, char* const* operands)
{
    audit::Run audit(audit::Command::updateStatus);
    std::string jobId;
    std::string percentage;
    std::string status;
    if (!copyOperands(lines::statusOperands, operands,
                      {&jobId, &percentage, &status}))
    {
        return 1;
    }
    audit.operand(audit::Operand::jobId, jobId);
    audit.operand(audit::Operand::percentage, percentage);
    audit.operand(audit::Operand::status, status);
    const int result = tasks::updateStatus(context.bus(), context.paths(),
                                           jobId, percentage, status);
    audit.finish(result == 0);
    return result;
}

constexpr const char* usageHeader = "\n%s Usage:\n";

// The sub-commands. The usage text is the header followed by their usage
// texts in this order.
constexpr std::array<front_end::Verb, 6> verbs{{
    {"startUpdate", 3, runStartUpdate,
     "\n Start BIOS Update\n"
     "\n%s startUpdate <Version Id>\n"
     "\t\tExample: %s startUpdate a3d2fe67\n"},
    {"updateStatus", 5, runUpdateStatus,
     "\n BIOS Update Status\n"
     "\n%s updatestatus <Job ID> <Update Percentage> <Update Status>\n"
     "\t\tUpdate Status:\n"
     "\t\t\tUpdate Progressing:\t0\n"
     "\t\t\tUpdate Complete:\t1\n"
     "\t\t\tUpdate Complete with Errors:\t2\n"
     "\t\t\tUpdate Failed:\t3\n"
     "\t\tExample: %s  updatestatus JID_1234567890 20 1\n"},
    {"exportBIOSConfig", 2, runExportBIOSConfig,
     "\n BIOS Config Export\n"
     "\n%s exportBIOSConfig\n"},
    {"forceExportBIOSConfig", 2, runForceExportBIOSConfig,
     "\n BIOS Config Force Export\n"
     "\n%s forceExportBIOSConfig\n"},
    {"importBIOSConfig", 2, runImportBIOSConfig,
     "\n BIOS Config Import\n"
     "\n%s importBIOSConfig\n"},
    {"getJobStatus", 3, runGetJobStatus,
     "\n Get Job Status\n"
     "\n\tReturns:\n"
     "\t0: Update Completed\n"
     "\t1: Update Progressing\n"
     "\t2: Job ID Not Found\n"
     "\t3: Internal Error\n"
     "\n%s getjobstatus <Job ID>\n"
     "\t\tExample: %s getjobstatus JobID_12345678\n"},
}};

int printUsage(const char* program)
{
    front_end::writeUsage(stdout, usageHeader, program);
    for (const front_end::Verb& verb : verbs)
    {
        front_end::writeUsage(stdout, verb.usage, program);
    }
    return usageError;
}

} // namespace

int main(int argc, char** argv)
{
    const char* program = argc > 0 ? argv[0] : "";
    const front_end::Verb* verb =
        argc < 2 ? nullptr : front_end::findVerb(verbs, argv[1]);
    if (verb == nullptr || argc != verb->words)
    {
        return printUsage(program);
    }
    // Whatever a sub-command's own handlers leave uncaught (memory running
    // out outside their guarded steps) still ends the run with its failure
    // status, never with terminate.
    try
    {
        RunContext context(paths::bmc());
        return verb->run(context, argv + 2);
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::exceptionEscaped, verb->name, e.what());
    }
    return verb->run == runGetJobStatus ? internalError : 1;
}
