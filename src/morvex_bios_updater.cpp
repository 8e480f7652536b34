// Entry point of the BIOS updater: counts the command-line words, selects the
// sub-command case-insensitively and returns its result as the exit status.

#include "audit/audit_record.hpp"
#include "diag.hpp"
#include "tasks/config_jobs.hpp"
#include "tasks/job_status.hpp"
#include "update/software_object.hpp"
#include "update/start_update.hpp"

#include <strings.h>

#include <cstdio>
#include <exception>
#include <initializer_list>
#include <string>

namespace
{

void printUsage(const char* program)
{
    std::printf("\n%s Usage:\n", program);
    std::puts("\n Start BIOS Update");
    std::printf("\n%s startUpdate <Version Id>\n", program);
    std::printf("\t\tExample: %s startUpdate a3d2fe67\n", program);
    std::puts("\n BIOS Update Status");
    std::printf(
        "\n%s updatestatus <Job ID> <Update Percentage> <Update Status>\n",
        program);
    std::puts("\t\tUpdate Status:");
    std::puts("\t\t\tUpdate Progressing:\t0");
    std::puts("\t\t\tUpdate Complete:\t1");
    std::puts("\t\t\tUpdate Complete with Errors:\t2");
    std::puts("\t\t\tUpdate Failed:\t3");
    std::printf("\t\tExample: %s  updatestatus JID_1234567890 20 1\n", program);
    std::puts("\n BIOS Config Export");
    std::printf("\n%s exportBIOSConfig\n", program);
    std::puts("\n BIOS Config Force Export");
    std::printf("\n%s forceExportBIOSConfig\n", program);
    std::puts("\n BIOS Config Import");
    std::printf("\n%s importBIOSConfig\n", program);
    std::puts("\n Get Job Status");
    std::puts("\n\tReturns:");
    std::puts("\t0: Update Completed");
    std::puts("\t1: Update Progressing");
    std::puts("\t2: Job ID Not Found");
    std::puts("\t3: Internal Error");
    std::printf("\n%s getjobstatus <Job ID>\n", program);
    std::printf("\t\tExample: %s getjobstatus JobID_12345678\n", program);
}

constexpr int usageError = 1;

// The export and the force export report an escaping exception each from
// a number of its own.
int runExport(bool force, int exceptionNumber)
{
    audit::Run audit(force ? audit::Command::forceExportBIOSConfig
                           : audit::Command::exportBIOSConfig);
    try
    {
        const int result = tasks::exportBIOSConfig(force);
        audit.finish(result == 0);
        return result;
    }
    catch (const std::exception& e)
    {
        diag::fail("main", exceptionNumber,
                   "Exception calling Export BIOS Config: %s", e.what());
    }
    return 1;
}

int runImport()
{
    audit::Run audit(audit::Command::importBIOSConfig);
    try
    {
        tasks::importBIOSConfig();
        audit.finish(true);
    }
    catch (const std::exception& e)
    {
        diag::fail("main", 757, "Exception calling Import BIOS Config: %s",
                   e.what());
    }
    // Queued or not, an import reports 1.
    return 1;
}

// Copies the operands into `into`, one word each; a copy that throws is
// reported with the sub-command's own number.
bool copyOperands(int exceptionNumber, char* const* words,
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
        diag::fail("main", exceptionNumber, "Exception parsing arguments: %s",
                   e.what());
    }
    return false;
}

int runGetJobStatus(char* const* words)
{
    std::string jobId;
    if (!copyOperands(777, words, {&jobId}) || jobId.empty())
    {
        return 1;
    }
    return tasks::getJobStatus(jobId);
}

int runStartUpdate(char* const* words)
{
    audit::Run audit(audit::Command::startUpdate);
    std::string versionId;
    if (!copyOperands(801, words, {&versionId}))
    {
        return 1;
    }
    audit.operand(audit::Operand::versionId, versionId);
    const std::string jobId = update::getJobID(versionId);
    if (jobId.empty())
    {
        // The software object names no job: the update service's fault.
        audit.finish(false, audit::Cause::bus);
        return 1;
    }
    audit.operand(audit::Operand::jobId, jobId);
    const int result = update::startUpdate(versionId, jobId);
    audit.finish(result == 0);
    return result;
}

int runUpdateStatus(char* const* words)
{
    audit::Run audit(audit::Command::updateStatus);
    std::string jobId;
    std::string percentage;
    std::string status;
    if (!copyOperands(830, words, {&jobId, &percentage, &status}))
    {
        return 1;
    }
    audit.operand(audit::Operand::jobId, jobId);
    audit.operand(audit::Operand::percentage, percentage);
    audit.operand(audit::Operand::status, status);
    const int result = tasks::updateStatus(jobId, percentage, status);
    audit.finish(result == 0);
    return result;
}

bool selects(const char* word, const char* name)
{
    return strcasecmp(word, name) == 0;
}

int dispatch(int argc, char** argv)
{
    const char* program = argc > 0 ? argv[0] : "";
    if (argc < 2)
    {
        printUsage(program);
        return usageError;
    }

    const char* command = argv[1];
    auto wrongCount = [&](int words) {
        if (argc == words)
        {
            return false;
        }
        printUsage(program);
        return true;
    };

    if (selects(command, "exportBIOSConfig"))
    {
        return wrongCount(2) ? usageError : runExport(false, 716);
    }
    if (selects(command, "forceExportBIOSConfig"))
    {
        return wrongCount(2) ? usageError : runExport(true, 735);
    }
    if (selects(command, "importBIOSConfig"))
    {
        return wrongCount(2) ? usageError : runImport();
    }
    if (selects(command, "getJobStatus"))
    {
        return wrongCount(3) ? usageError : runGetJobStatus(argv + 2);
    }
    if (selects(command, "startUpdate"))
    {
        return wrongCount(3) ? usageError : runStartUpdate(argv + 2);
    }
    if (selects(command, "updateStatus"))
    {
        return wrongCount(5) ? usageError : runUpdateStatus(argv + 2);
    }
    printUsage(program);
    return usageError;
}

} // namespace

int main(int argc, char** argv)
{
    return dispatch(argc, argv);
}
