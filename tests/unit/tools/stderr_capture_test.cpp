// The capsule tool's capture of standard error: what is written there by
// the updater's code and by a child process is taken in and sorted, and the
// descriptor is given back on both ways out.

#include "capsule_tool/stderr_capture.hpp"
#include "diag.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

using capsule_tool::splitCaptured;
using capsule_tool::StderrCapture;

// Captured text, the updater's lines found in it, and the rest.
struct SplitCase
{
    std::string text;
    std::vector<std::string> updaterLines;
    std::string otherOutput;
};

TEST(SplitCaptured, KeepsTheUpdaterLinesApartFromEverythingElse)
{
    const std::vector<SplitCase> splitCases = {
        {"", {}, ""},
        {"BIOSIMG_DBG_FAIL: f.1: a\nxz: bad\n\nBIOSIMG_DBG_INFO: g.2: b\n",
         {"BIOSIMG_DBG_FAIL: f.1: a", "BIOSIMG_DBG_INFO: g.2: b"},
         "xz: bad\n\n"},
        {"BIOSIMG_DBG_FAIL: f.1: unended",
         {"BIOSIMG_DBG_FAIL: f.1: unended"},
         ""},
        {" BIOSIMG_DBG_FAIL: f.1: indented\nBIOSIMG_DBG_FAILED\nend",
         {},
         " BIOSIMG_DBG_FAIL: f.1: indented\nBIOSIMG_DBG_FAILED\nend"},
    };
    for (const SplitCase& split : splitCases)
    {
        SCOPED_TRACE(split.text);
        const capsule_tool::CapturedOutput output = splitCaptured(split.text);
        EXPECT_EQ(output.updaterLines, split.updaterLines);
        EXPECT_EQ(output.otherOutput, split.otherOutput);
    }
}

void childWrites(const char* text)
{
    const pid_t child = fork();
    if (child == 0)
    {
        std::fputs(text, stderr);
        _exit(0);
    }
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
}

TEST(StderrCapture, TakesInTheUpdaterAndItsChildrenAndGivesBackTheDescriptor)
{
    testing::internal::CaptureStderr();
    std::string captured;
    {
        StderrCapture capture;
        ASSERT_TRUE(capture.active());
        diag::fail(lines::noCapFile);
        childWrites("child\n");
        captured = capture.finish();
        EXPECT_FALSE(capture.active());
        std::fputs("after finish\n", stderr);
    }
    {
        const StderrCapture capture;
        std::fputs("left by a way out without finish\n", stderr);
    }
    std::fputs("after the destructor\n", stderr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "after finish\nafter the destructor\n");
    EXPECT_EQ(captured,
              "BIOSIMG_DBG_FAIL: uncompressBiosCapFile.53: Could not find "
              "cap file.\nchild\n");
}

} // namespace
