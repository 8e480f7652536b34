#include "update/start_update.hpp"

#include "audit/audit_record.hpp"
#include "diag.hpp"
#include "handles/fd.hpp"
#include "handles/openssl.hpp"
#include "tasks/config_jobs.hpp"
#include "tasks/file_lock.hpp"
#include "tasks/task_list_cycle.hpp"
#include "update/bios_image_context.hpp"
#include "update/software_object.hpp"
#include "update/update_events.hpp"
#include "update/verify_image.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string_view>
#include <vector>

namespace update
{
namespace
{

namespace fs = std::filesystem;

constexpr const char* payloadDirectory = "payload";
// Where the host's firmware picks up the staged capsule.
constexpr const char* stagingDirectory = "/tmp/tmpBIOSPayload";
// Serialises updates: they share the scratch area and the staging directory.
constexpr const char* updateLockPath = "/var/lib/qorad/BIOS_update.lock";

constexpr const char* startingMilestone = "::: Starting BIOS Update";
constexpr const char* configNotRemoved = "Unable to remove BIOS Config File";

constexpr int updateStaged = 0;
constexpr int updateAbandoned = 1;

// Left-overs of an earlier update go; nothing is reported.
void removeStagedCapsules()
{
    try
    {
        fs::remove_all(stagingDirectory);
    }
    catch (const std::exception&)
    {}
}

// A failed verification is recorded in the journal.
void recordVerificationFailure(const std::string& imageVersion)
{
    try
    {
        sendUpdateFailedEntry(imageVersion);
    }
    catch (const std::exception& e)
    {
        diag::fail("startUpdate", 321, "Exception writing event log: %s",
                   e.what());
    }
}

// Unwraps and verifies the capsule and records the image's release type on
// the software object. The image context, and with it the scratch area,
// ends before this returns.
bool verifyCapsule(const SoftwareObject& image, const std::string& capsulePath,
                   const std::string& imageVersion)
{
    try
    {
        BiosImageContext context(capsulePath);
        diag::info("startUpdate", 292, "cap_file = %s", context.path.c_str());
        if (uncompressBiosCapFile(context) != 0)
        {
            diag::fail("startUpdate", 297,
                       "Failed to decompress BIOS Cap file");
            return false;
        }
        diag::info("startUpdate", 301, "Decompressed BIOS Cap file");
        if (!verifyBiosImage(context))
        {
            diag::fail("startUpdate", 307, "Failed to verify BIOS FW with QRX");
            recordVerificationFailure(imageVersion);
            return false;
        }
        diag::info("startUpdate", 327, "Verified BIOS FW with QRX");
        diag::info("startUpdate", 331, "Release Type = 0x%02x",
                   static_cast<unsigned>(context.releaseType));
        audit::noteVerified(context.releaseType);
        if (!image.setReleaseType(context.releaseType))
        {
            diag::fail("startUpdate", 336,
                       "Failed to set release type of BIOS FW");
            return false;
        }
        diag::info("startUpdate", 340, "Set release type of BIOS FW");
        return true;
    }
    catch (const std::exception& e)
    {
        diag::fail("startUpdate", 345,
                   "Exception with QRX verifying FW manifest: %s", e.what());
    }
    return false;
}

// Copies the capsule into a fresh staging directory; returns the staged
// copy's path, "" on failure.
std::string stageCapsule(const std::string& capsulePath,
                         const std::string& capsuleName)
{
    try
    {
        if (!fs::create_directories(stagingDirectory))
        {
            diag::fail("startUpdate", 354, "Failed creating directory %s",
                       stagingDirectory);
            return {};
        }
    }
    catch (const std::exception& e)
    {
        diag::fail("startUpdate", 360, "Exception creating directory: %s",
                   e.what());
        return {};
    }
    try
    {
        fs::copy(capsulePath, stagingDirectory);
        return (fs::path(stagingDirectory) / capsuleName).string();
    }
    catch (const std::exception& e)
    {
        diag::fail("startUpdate", 372, "Exception copying payload: %s",
                   e.what());
    }
    return {};
}

// SHA-512 of the staged copy in lower-case hex, read back from the staging
// directory for the audit record; "" when it cannot be read.
std::string stagedCapsuleSha512(const std::string& stagedCapsule)
{
    const UniqueFd file(
        ::open(stagedCapsule.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    const MdCtxPtr digest(EVP_MD_CTX_new());
    if (!file.valid() || !digest ||
        EVP_DigestInit_ex(digest.get(), EVP_sha512(), nullptr) != 1)
    {
        return {};
    }
    std::array<unsigned char, 65536> chunk{};
    ssize_t got = 0;
    while ((got = ::read(file.get(), chunk.data(), chunk.size())) != 0)
    {
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got < 0 || EVP_DigestUpdate(digest.get(), chunk.data(),
                                        static_cast<std::size_t>(got)) != 1)
        {
            return {};
        }
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> sum{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(digest.get(), sum.data(), &length) != 1)
    {
        return {};
    }
    static constexpr std::string_view hexDigits = "0123456789abcdef";
    try
    {
        std::string hex;
        for (unsigned int i = 0; i < length; ++i)
        {
            hex += hexDigits.at(sum.at(i) >> 4U);
            hex += hexDigits.at(sum.at(i) & 0x0FU);
        }
        return hex;
    }
    catch (const std::exception&)
    {
        // Out of memory: the record goes without it.
    }
    return {};
}

tasks::TaskEntry updateTask(const std::string& jobId,
                            const std::string& stagedCapsule)
{
    return tasks::TaskEntry{"UPDATE",  "BIOS Update", tasks::biosFqdd,
                            jobId,     stagedCapsule, "File",
                            "ConfigDb"};
}

// Appends the UPDATE task, then queues a fresh configuration export (the
// exported configuration is removed first, so the export is of the file
// kind). False when an exception stopped it or the task list stayed locked.
bool queueUpdateTasks(const std::string& jobId,
                      const std::string& stagedCapsule)
{
    try
    {
        {
            tasks::TaskListCycle cycle;
            if (!cycle.locked())
            {
                diag::fail("startUpdate", 921, tasks::lockFailedFormat,
                           cycle.lockFailure().c_str());
                return false;
            }
            std::vector<tasks::TaskEntry> list;
            cycle.readTaskList(list);
            list.push_back(updateTask(jobId, stagedCapsule));
            diag::milestone(startingMilestone);
            tasks::writeTaskListUnnoticed(cycle, list);
        }
        if (std::remove(tasks::exportedConfigPath) != 0)
        {
            std::perror(configNotRemoved);
        }
        // Only an exception from the export changes the course of the
        // update: an export that could not be queued is not noticed.
        static_cast<void>(tasks::exportBIOSConfig(false));
        return true;
    }
    catch (const std::exception& e)
    {
        diag::fail("startUpdate", 382,
                   "Exception creating BIOS Update Task: %s", e.what());
    }
    return false;
}

// Everything that touches the shared scratch area, staging directory and
// task list, under the update lock. Where no lock file can be (no
// /var/lib/qorad, or read-only), nothing can be queued either and the
// update goes ahead as one that cannot write its task list.
bool stageUpdate(const SoftwareObject& image, const std::string& jobId,
                 const std::string& imageVersion, const CapsuleFile& capsule)
{
    const tasks::FileLock updateLock(updateLockPath);
    if (!updateLock.held() && !updateLock.nowhere())
    {
        diag::fail("startUpdate", 920, "Update not started: %s",
                   updateLock.failure().c_str());
        return false;
    }
    removeStagedCapsules();
    if (!verifyCapsule(image, capsule.path, imageVersion))
    {
        return false;
    }
    const std::string stagedCapsule = stageCapsule(capsule.path, capsule.name);
    if (stagedCapsule.empty())
    {
        return false;
    }
    audit::noteStagedCapsule(stagedCapsuleSha512(stagedCapsule));
    return queueUpdateTasks(jobId, stagedCapsule);
}

} // namespace

CapsuleFile getPayload(const std::string& imageDirectory)
{
    try
    {
        const fs::path directory = fs::path(imageDirectory) / payloadDirectory;
        for (const auto& entry : fs::directory_iterator(directory))
        {
            if (fs::exists(fs::status(entry.path())))
            {
                const fs::path name = entry.path().filename();
                return {(directory / name).string(), name.string()};
            }
        }
    }
    catch (const std::exception& e)
    {
        diag::fail("getPayload", 169, "Exception getting payload: %s",
                   e.what());
    }
    return {};
}

int startUpdate(const SoftwareObject& image, const std::string& jobId)
{
    const std::string imageDirectory = image.getCommonFilePath();
    if (imageDirectory.empty())
    {
        diag::fail("startUpdate", 258, "Unable to get Image location");
        return updateAbandoned;
    }
    const std::string imageVersion = image.getVersion();
    if (imageVersion.empty())
    {
        diag::fail("startUpdate", 265, "Unable to get Image version");
        return updateAbandoned;
    }
    const CapsuleFile capsule = getPayload(imageDirectory);
    if (capsule.path.empty() || capsule.name.empty())
    {
        diag::fail("startUpdate", 272, "Unable to get Image Path");
        return updateAbandoned;
    }
    if (!stageUpdate(image, jobId, imageVersion, capsule))
    {
        return updateAbandoned;
    }
    if (!image.setVersionIdStaged())
    {
        diag::fail("startUpdate", 388, "Unable to set Image to Staged");
        return updateAbandoned;
    }
    try
    {
        writeUpdateStartEvent();
    }
    catch (const std::exception& e)
    {
        diag::fail("startUpdate", 402, diag::eventLogFailedFormat, e.what());
    }
    return updateStaged;
}

} // namespace update
