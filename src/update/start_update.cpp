#include "update/start_update.hpp"

#include "audit/audit_record.hpp"
#include "diag.hpp"
#include "handles/directory.hpp"
#include "tasks/config_jobs.hpp"
#include "tasks/file_io.hpp"
#include "tasks/file_lock.hpp"
#include "tasks/task_list_cycle.hpp"
#include "update/background_call.hpp"
#include "update/bios_image_context.hpp"
#include "update/capsule_snapshot.hpp"
#include "update/software_object.hpp"
#include "update/staging.hpp"
#include "update/superseded_updates.hpp"
#include "update/update_events.hpp"
#include "update/verify_image.hpp"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace update
{
namespace
{

namespace fs = std::filesystem;

constexpr const char* payloadDirectory = "payload";

// The standard directory iterator's error for a step of the listing that
// failed, told the same way.
fs::filesystem_error listingFailed(const char* step, const fs::path& directory,
                                   int error)
{
    return {std::string("directory iterator cannot ") + step +
                (step == std::string_view("open") ? " directory" : ""),
            directory, std::error_code(error, std::generic_category())};
}

// Where the capsule's private copy may lie: the staging file system first
// (publishing it there is a link), then the scratch file system.
std::vector<std::string> snapshotDirectories(const paths::Paths& paths)
{
    return {fs::path(paths.stagingDirectory).parent_path().string(),
            fs::path(paths.scratchDirectory).parent_path().string()};
}

constexpr int updateStaged = 0;
constexpr int updateAbandoned = 1;

// A failed verification is recorded in the journal.
void recordVerificationFailure(const std::string& imageVersion)
{
    try
    {
        sendUpdateFailedEntry(imageVersion);
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::failedEventThrew, e.what());
    }
}

// A second descriptor of the context's file.
UniqueFd duplicateOf(const FilePtr& file)
{
    return UniqueFd(file ? ::fcntl(::fileno(file.get()), F_DUPFD_CLOEXEC, 0)
                         : -1);
}

// Unwraps and verifies the capsule and records the image's release type on
// the software object. The image context, and with it the scratch area,
// ends before this returns; heldImage is then the only descriptor of the
// decompressed image, whose name is gone.
bool verifyCapsule(const paths::Paths& paths, const SoftwareObject& image,
                   const std::string& capsulePath,
                   const CapsuleSnapshot& snapshot, CompressedBody body,
                   const std::string& imageVersion, UniqueFd& heldImage)
{
    try
    {
        BiosImageContext context(capsulePath, snapshot.openStream(),
                                 ScratchArea::in(paths.scratchDirectory));
        context.preparedBody = std::move(body);
        // The copy is made durable, and its digest taken, while xz runs.
        context.whileDecompressing = [&snapshot] {
            snapshot.startWriteBack();
            return snapshot.digestSome();
        };
        diag::info(lines::capFile, context.path.c_str());
        if (uncompressBiosCapFile(context) != 0)
        {
            diag::fail(lines::notDecompressed);
            return false;
        }
        heldImage = duplicateOf(context.file);
        diag::info(lines::decompressed);
        // Nothing goes on to staging unless the context itself says the
        // image passed: verification starts as failure.
        if (!verifyBiosImage(context) || !context.verified)
        {
            diag::fail(lines::notVerified);
            recordVerificationFailure(imageVersion);
            return false;
        }
        diag::info(lines::verified);
        diag::info(lines::releaseType,
                   static_cast<unsigned>(context.releaseType));
        audit::noteVerified(context.releaseType);
        if (!image.setReleaseType(context.releaseType))
        {
            diag::fail(lines::releaseTypeNotSet);
            return false;
        }
        diag::info(lines::releaseTypeSet);
        return true;
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::verifyThrew, e.what());
    }
    return false;
}

tasks::TaskEntry updateTask(const std::string& jobId,
                            const std::string& stagedCapsule)
{
    return tasks::TaskEntry{
        tasks::updateJobType, "BIOS Update", tasks::biosFqdd, jobId,
        stagedCapsule,        "File",        "ConfigDb"};
}

// A retry of an update replaces the UPDATE task an earlier, interrupted run
// of the same job queued: one job, one flash.
void dropUpdateTasksOf(std::vector<tasks::TaskEntry>& list,
                       const std::string& jobId)
{
    std::erase_if(list, [&](const tasks::TaskEntry& task) {
        return task.JobType == tasks::updateJobType && task.JOBID == jobId;
    });
}

// Appends the UPDATE task, then queues a fresh configuration export (the
// exported configuration is removed first, so the export is of the file
// kind). False when an exception stopped it or the task list stayed locked.
bool queueUpdateTasks(const paths::Paths& paths, const std::string& jobId,
                      const std::string& stagedCapsule)
{
    try
    {
        {
            tasks::TaskListCycle cycle(paths.taskList);
            if (!cycle.locked())
            {
                diag::fail(lines::updateListLocked,
                           cycle.lockFailure().c_str());
                return false;
            }
            std::vector<tasks::TaskEntry> list;
            cycle.readTaskList(list);
            dropUpdateTasksOf(list, jobId);
            list.push_back(updateTask(jobId, stagedCapsule));
            diag::milestone(lines::startingMilestone);
            tasks::writeTaskListUnnoticed(cycle, list);
        }
        if (std::remove(paths.exportedConfig.c_str()) != 0)
        {
            std::perror(lines::configNotRemoved);
        }
        // Only an exception from the export changes the course of the
        // update: an export that could not be queued is not noticed.
        static_cast<void>(tasks::exportBIOSConfig(paths, false));
        return true;
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::updateTaskThrew, e.what());
    }
    return false;
}

// Everything that touches the shared scratch area, staging directory and
// task list, under the update lock, which updates share whether or not
// anything else is writable: an update that cannot take it changes nothing.
bool stageUpdate(const paths::Paths& paths, const SoftwareObject& image,
                 const std::string& jobId, const std::string& imageVersion,
                 const CapsuleFile& capsule)
{
    const tasks::FileLock updateLock =
        tasks::FileLock::inPrivateDirectory(paths.updateLock);
    if (!updateLock.held())
    {
        diag::fail(lines::updateNotStarted, updateLock.failure().c_str());
        return false;
    }
    const SupersededUpdates superseded(paths.stagingDirectory, paths.taskList,
                                       jobId);
    // Files removed from here on give their storage back while the update
    // goes on; waited for before this returns.
    LateRelease storage;
    removeStagedCapsules(paths.stagingDirectory, storage);
    // The one copy of the capsule that is verified and staged; the same read
    // copies out its compressed body for unwrapping.
    CompressedBody body;
    const CapsuleSnapshot snapshot(capsule.path, snapshotDirectories(paths),
                                   &body,
                                   tasks::directoryOf(paths.scratchDirectory));
    if (!snapshot.failure().empty())
    {
        // A capsule that is there but could not be copied is not a missing
        // capsule: the BMC's room or file systems are at fault.
        diag::fail(lines::capsuleNotCopied, snapshot.failure().c_str());
        return false;
    }
    UniqueFd heldImage;
    const bool verified =
        verifyCapsule(paths, image, capsule.path, snapshot, std::move(body),
                      imageVersion, heldImage);
    storage.release(std::move(heldImage));
    if (!verified)
    {
        return false;
    }
    const std::string stagedCapsule = stageCapsule(
        paths.stagingDirectory, snapshot, capsule.path, capsule.name);
    if (stagedCapsule.empty())
    {
        return false;
    }
    audit::noteStagedCapsule(snapshot.sha512Hex());
    return queueUpdateTasks(paths, jobId, stagedCapsule);
}

} // namespace

CapsuleFile getPayload(const std::string& imageDirectory)
{
    try
    {
        const fs::path directory = fs::path(imageDirectory) / payloadDirectory;
        // Listed with readdir, in the directory's own order: the standard
        // directory iterator terminates the program when memory runs out.
        const DirectoryPtr listing(::opendir(directory.c_str()));
        if (!listing)
        {
            diag::fail(lines::payloadThrew,
                       listingFailed("open", directory, errno).what());
            return {};
        }
        errno = 0;
        while (const dirent* entry = ::readdir(listing.get()))
        {
            const std::string_view name = entry->d_name;
            if (name != "." && name != ".." &&
                fs::exists(fs::status(directory / name)))
            {
                return {(directory / name).string(), std::string(name)};
            }
            errno = 0;
        }
        if (errno != 0)
        {
            diag::fail(lines::payloadThrew,
                       listingFailed("advance", directory, errno).what());
        }
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::payloadThrew, e.what());
    }
    return {};
}

int startUpdate(const paths::Paths& paths, const SoftwareObject& image,
                const std::string& jobId)
{
    const std::string imageDirectory = image.getCommonFilePath();
    if (imageDirectory.empty())
    {
        diag::fail(lines::noImageLocation);
        return updateAbandoned;
    }
    const std::string imageVersion = image.getVersion();
    if (imageVersion.empty())
    {
        diag::fail(lines::noImageVersion);
        return updateAbandoned;
    }
    const CapsuleFile capsule = getPayload(imageDirectory);
    if (capsule.path.empty() || capsule.name.empty())
    {
        diag::fail(lines::noImagePath);
        return updateAbandoned;
    }
    if (!stageUpdate(paths, image, jobId, imageVersion, capsule))
    {
        return updateAbandoned;
    }
    if (!image.setVersionIdStaged())
    {
        diag::fail(lines::notStaged);
        return updateAbandoned;
    }
    try
    {
        writeUpdateStartEvent();
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::startEventThrew, e.what());
    }
    return updateStaged;
}

} // namespace update
