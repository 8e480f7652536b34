#include "tasks/file_io.hpp"
#include "update/confinement.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <functional>

namespace update::confinement
{
namespace
{

// The updater cannot be traced, nor its open files reached through /proc,
// while the decompressor lives; its dumpable flag is put back after.
class NotDumpable
{
  public:
    NotDumpable() : previous(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0))
    {
        static_cast<void>(prctl(PR_SET_DUMPABLE, 0, 0, 0, 0));
    }
    ~NotDumpable()
    {
        if (previous > 0)
        {
            static_cast<void>(prctl(PR_SET_DUMPABLE, previous, 0, 0, 0));
        }
    }
    NotDumpable(const NotDumpable&) = delete;
    NotDumpable& operator=(const NotDumpable&) = delete;
    NotDumpable(NotDumpable&&) = delete;
    NotDumpable& operator=(NotDumpable&&) = delete;

  private:
    int previous;
};

// The account that may create the image and remove the compressed body:
// the scratch directory and the body are lent to it for the run.
void lendScratch(const Run& run, const Plan& plan, const ScratchArea& area)
{
    if (!run.directory.valid() || !plan.userKnown)
    {
        return;
    }
    // A failed loan leaves the directory to root, where xz cannot write:
    // the run then fails as any xz that cannot write does.
    static_cast<void>(fchown(run.directory.get(), plan.uid, plan.gid));
    static_cast<void>(fchownat(run.directory.get(),
                               tasks::nameOf(area.compressedImage).c_str(),
                               plan.uid, plan.gid, AT_SYMLINK_NOFOLLOW));
}

void takeBackScratch(const Run& run)
{
    if (run.directory.valid())
    {
        static_cast<void>(fchown(run.directory.get(), geteuid(), getegid()));
    }
}

int waitFor(pid_t child)
{
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR)
    {}
    return status;
}

// How long the updater sleeps when it has caught up with the child's work,
// unless the child ends first.
constexpr int idleMilliseconds = 2;

// Waits for child while doing work, which says whether it did any: when it
// did none, sleeps until the child ends or the idle time is up.
int waitWorking(pid_t child, const std::function<bool()>& work)
{
    const UniqueFd ended(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    for (;;)
    {
        int status = 0;
        const pid_t reaped = waitpid(child, &status, WNOHANG);
        if (reaped == child || (reaped < 0 && errno != EINTR))
        {
            return status;
        }
        if (reaped == 0 && !work())
        {
            pollfd endOfChild{ended.get(), POLLIN, 0};
            // Without a process descriptor (an older kernel) poll only
            // sleeps.
            static_cast<void>(
                poll(&endOfChild, ended.valid() ? 1 : 0, idleMilliseconds));
        }
    }
}

} // namespace

Run runDecompressor(const ScratchArea& area, Layers required, Action action,
                    const std::function<bool()>& whileRunning)
{
    Run run;
    run.directory.reset(
        openat(AT_FDCWD, area.directory.c_str(),
               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (run.directory.valid())
    {
        static_cast<void>(fstat(run.directory.get(), &run.made));
    }
    Plan plan = planFor(area, required);
    plan.action = action;
    const UniqueFd quiet(
        action == Action::test ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1);
    plan.quietFd = quiet.get();
    if (action == Action::test && !quiet.valid())
    {
        return run;
    }
    std::array<int, 2> pipe{};
    if (pipe2(pipe.data(), O_CLOEXEC | O_NONBLOCK) != 0)
    {
        pipe = {-1, -1};
    }
    const UniqueFd reportRead(pipe[0]);
    UniqueFd reportWrite(pipe[1]);
    plan.reportFd = reportWrite.get();
    lendScratch(run, plan, area);
    {
        const NotDumpable hidden;
        const pid_t child = startConfined(plan);
        reportWrite.reset();
        run.forked = child >= 0;
        if (run.forked)
        {
            run.status = whileRunning ? waitWorking(child, whileRunning)
                                      : waitFor(child);
        }
    }
    takeBackScratch(run);
    run.report = readReport(reportRead.get());
    if (run.report.haveStatus)
    {
        run.status = run.report.status;
    }
    run.writer =
        (run.report.inForce & bit(Layer::user)) != 0 ? plan.uid : geteuid();
    return run;
}

UniqueFd openImage(const Run& run, const ScratchArea& area)
{
    if (!run.directory.valid())
    {
        return {};
    }
    UniqueFd image(openat(run.directory.get(),
                          tasks::nameOf(area.image).c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat facts
    {};
    struct stat standing
    {};
    if (!image.valid() || fstat(image.get(), &facts) != 0 ||
        stat(area.directory.c_str(), &standing) != 0)
    {
        return {};
    }
    const bool trusted = S_ISREG(facts.st_mode) && facts.st_nlink == 1 &&
                         facts.st_uid == run.writer &&
                         facts.st_dev == run.made.st_dev &&
                         standing.st_dev == run.made.st_dev &&
                         standing.st_ino == run.made.st_ino;
    if (!trusted || fcntl(image.get(), F_SETFL, 0) != 0)
    {
        return {};
    }
    return image;
}

} // namespace update::confinement
