// Work handed to a thread of its own: its result comes back to the one who
// waits for it, once, and nothing handed over outlives its owner.

#include "update/background_call.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include <gtest/gtest.h>

namespace
{

bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(BackgroundCall, TellsTheCallsResultOnce)
{
    std::array<int, 2> pipe{};
    ASSERT_EQ(::pipe(pipe.data()), 0);
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    update::BackgroundCall call;
    EXPECT_EQ(call.wait(), 0) << "nothing started";
    // A pipe cannot be synced.
    ASSERT_TRUE(call.start(&::fdatasync, pipe[0]));
    EXPECT_FALSE(call.start(&::fdatasync, ::fileno(file)))
        << "one call at a time";
    EXPECT_EQ(call.wait(), EINVAL);
    EXPECT_EQ(call.wait(), 0);
    ASSERT_TRUE(call.start(&::fdatasync, ::fileno(file)));
    EXPECT_EQ(call.wait(), 0);
    std::fclose(file);
    ::close(pipe[0]);
    ::close(pipe[1]);
}

TEST(LateRelease, ClosesEveryFileByItsEnd)
{
    std::array<int, 6> files{};
    {
        update::LateRelease storage;
        for (int& fd : files)
        {
            fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            ASSERT_TRUE(isOpen(fd));
            // More than it has threads for: the rest close at once.
            storage.release(UniqueFd(fd));
        }
        storage.release(UniqueFd());
    }
    for (const int fd : files)
    {
        EXPECT_FALSE(isOpen(fd)) << fd;
    }
}

} // namespace
