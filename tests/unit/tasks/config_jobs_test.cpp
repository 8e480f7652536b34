#include "tasks/config_jobs.hpp"
#include "tasks/task_list.hpp"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using tasks::TaskEntry;
namespace fs = std::filesystem;

const fs::path qorad = "/var/lib/qorad";
const fs::path listFile = qorad / "BIOS_task_list.json";
const fs::path exportedConfig = qorad / "BIOS_Config.json";

const std::string exportQueued =
    "::: Export BIOS Config Task queued for next host reboot\n";
const std::string importQueued =
    "::: Import BIOS Config Task queued for next host reboot\n";

// The jobs use the fixed task list location, so this test program moves
// into a mount namespace of its own with an empty tmpfs over /var/lib before
// the first test: the host's files are never reached.
bool enterPrivateVarLib()
{
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("tmpfs", "/var/lib", "tmpfs", 0, "size=4m,mode=0755") == 0;
}

class ConfigJobs : public testing::Test
{
  protected:
    void SetUp() override
    {
        static const bool sandboxed = enterPrivateVarLib();
        if (!sandboxed)
        {
            GTEST_SKIP() << "needs a private mount namespace (root)";
        }
        fs::remove_all(qorad);
        fs::create_directory(qorad);
    }

    static void put(const std::vector<TaskEntry>& entries)
    {
        std::ofstream(listFile, std::ios::binary)
            << tasks::detail::formatTaskList(entries);
    }

    static std::string contents()
    {
        std::ifstream in(listFile, std::ios::binary);
        return {std::istreambuf_iterator<char>(in),
                std::istreambuf_iterator<char>()};
    }

    static std::string runExport(bool force)
    {
        testing::internal::CaptureStdout();
        EXPECT_EQ(tasks::exportBIOSConfig(force), 0);
        return testing::internal::GetCapturedStdout();
    }

    static std::string runImport()
    {
        testing::internal::CaptureStdout();
        tasks::importBIOSConfig();
        return testing::internal::GetCapturedStdout();
    }
};

TaskEntry job(const std::string& jobType, const std::string& jobId)
{
    return {jobType, "BIOS Config", "BIOS.Setup.1-1", jobId,
            "NA",    "INFO",        "BASECONFIG"};
}

TaskEntry updateJob(const std::string& jobId)
{
    return {"UPDATE",
            "BIOS Update",
            "BIOS.Setup.1-1",
            jobId,
            "/tmp/tmpBIOSPayload/capsule.bin",
            "File",
            "ConfigDb"};
}

const TaskEntry fileExport{"INVENTORY",
                           "BIOS Config",
                           "BIOS.Setup.1-1",
                           "",
                           "/var/lib/qorad/BIOS_Config.json",
                           "FILE",
                           "BASECONFIG"};
const TaskEntry infoExport{"INVENTORY", "BIOS Config", "BIOS.Setup.1-1", "",
                           "NA",        "INFO",        "BASECONFIG"};

TEST_F(ConfigJobs, ExportWithNothingPresentQueuesTheFileKind)
{
    EXPECT_EQ(runExport(false), exportQueued);
    EXPECT_EQ(contents(), tasks::detail::formatTaskList({fileExport}));
}

TEST_F(ConfigJobs, ExportOfAnExistingConfigurationQueuesTheInformationKind)
{
    std::ofstream(exportedConfig) << "{}";
    EXPECT_EQ(runExport(false), exportQueued);
    EXPECT_EQ(contents(), tasks::detail::formatTaskList({infoExport}));
    EXPECT_EQ(runExport(true), exportQueued);
    EXPECT_EQ(contents(), tasks::detail::formatTaskList({fileExport}));
}

TEST_F(ConfigJobs, ExportReplacesPendingExportsAndGoesFirst)
{
    put({updateJob("1"), job("Inventory", "a"), job("inventoryX", "b"),
         job("inventory", "c"), job("", "d"), job("INVENTORY ", "e")});
    EXPECT_EQ(runExport(false), exportQueued);
    EXPECT_EQ(contents(),
              tasks::detail::formatTaskList(
                  {fileExport, updateJob("1"), job("inventoryX", "b"),
                   job("", "d"), job("INVENTORY ", "e")}));
    EXPECT_EQ(runExport(false), exportQueued);
    EXPECT_EQ(contents(),
              tasks::detail::formatTaskList(
                  {fileExport, updateJob("1"), job("inventoryX", "b"),
                   job("", "d"), job("INVENTORY ", "e")}));
}

class ConfigJobBlocking :
    public ConfigJobs,
    public testing::WithParamInterface<const char*>
{};

TEST_P(ConfigJobBlocking, PendingImportLeavesTheListUntouched)
{
    put({updateJob("1"), job(GetParam(), "JobID_5"), job("INVENTORY", "")});
    struct stat before
    {};
    ASSERT_EQ(::stat(listFile.c_str(), &before), 0);
    std::string text = contents();

    for (bool force : {false, true})
    {
        EXPECT_EQ(runExport(force), "");
    }
    struct stat after
    {};
    ASSERT_EQ(::stat(listFile.c_str(), &after), 0);
    EXPECT_EQ(contents(), text);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

INSTANTIATE_TEST_SUITE_P(JobTypes, ConfigJobBlocking,
                         testing::Values("CONFIG", "config", "Config",
                                         "cOnFiG"));

class ConfigJobNotBlocking :
    public ConfigJobs,
    public testing::WithParamInterface<const char*>
{};

TEST_P(ConfigJobNotBlocking, OnlyTheWholeWordConfigBlocks)
{
    put({job(GetParam(), "x")});
    EXPECT_EQ(runExport(false), exportQueued);
    EXPECT_EQ(contents(), tasks::detail::formatTaskList(
                              {fileExport, job(GetParam(), "x")}));
}

INSTANTIATE_TEST_SUITE_P(JobTypes, ConfigJobNotBlocking,
                         testing::Values("CONFIGURE", "configs", "", "CONFIG ",
                                         " config", "CONF", "C\xc3\x96NFIG"));

TEST_F(ConfigJobs, ImportReplacesPendingJobsAndKeepsUpdatesInPlace)
{
    put({job("inventory", ""), updateJob("JID_1"), job("Config", "JobID_1"),
         updateJob("JID_2"), job("OTHER", "o")});
    std::time_t before = std::time(nullptr);
    EXPECT_EQ(runImport(), importQueued);
    std::time_t after = std::time(nullptr);

    std::vector<TaskEntry> entries;
    tasks::readTaskList(entries);
    ASSERT_EQ(entries.size(), 4U);
    const std::string jobId = entries[0].JOBID;
    ASSERT_EQ(jobId.rfind("JobID_", 0), 0U);
    std::time_t stamp = std::stoll(jobId.substr(6));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(jobId, "JobID_" + std::to_string(stamp));

    TaskEntry import{"CONFIG",
                     "BIOS Config",
                     "BIOS.Setup.1-1",
                     jobId,
                     "/var/lib/qorad/pending/BIOS_Config.json",
                     "FILE",
                     "BASECONFIG"};
    EXPECT_EQ(contents(), tasks::detail::formatTaskList(
                              {import, updateJob("JID_1"), updateJob("JID_2"),
                               job("OTHER", "o")}));
    EXPECT_FALSE(fs::exists(qorad / "pending"));
}

TEST_F(ConfigJobs, ReaderComplaintsComeBeforeTheMilestone)
{
    std::ofstream(listFile) << R"({"QORAJob": [{"JobType": "CONFIG"}]})";
    EXPECT_EQ(runExport(false),
              "Field missing, ignoring this entry\n" + exportQueued);
    EXPECT_EQ(contents(), tasks::detail::formatTaskList({fileExport}));
    EXPECT_TRUE(fs::exists(qorad / "BIOS_task_list.json.unreadable.1"));
}

} // namespace
