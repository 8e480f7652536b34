#include "update/confinement.hpp"

#include "build_limits.hpp"
#include "update/confinement_steps.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <vector>

namespace update::confinement
{
namespace
{

static_assert(parseLayers(limits::decompressorConfinement) <
                  (Layers{1} << layerNames.size()),
              "decompressor-confinement names a layer no one knows");

constexpr const char* decompressArgument = "-d";
constexpr const char* testArgument = "-t";

// A child that cannot start xz ends as one whose execl failed: exit(-1).
constexpr int cannotStart = 255;

// After the CPU limit's warning signal, xz has this long to remove its
// output before it is killed.
constexpr rlim_t cpuGraceSeconds = 5;

// What a child writes to the report pipe: fixed-size records.
enum class NoteKind : std::int32_t
{
    inForce = 1,
    layerFailed,
    startFailed,
    status,
};

struct Note
{
    std::int32_t kind;
    std::int32_t layer;
    std::int32_t value;
};

void send(int fd, NoteKind kind, std::int32_t layer, std::int32_t value)
{
    const Note note{static_cast<std::int32_t>(kind), layer, value};
    if (write(fd, &note, sizeof note) != static_cast<ssize_t>(sizeof note))
    {
        // A report that cannot be written leaves the updater with the exit
        // status alone.
        return;
    }
}

[[noreturn]] void cannotStartXz(const Plan& plan, int error)
{
    send(plan.reportFd, NoteKind::startFailed, 0, error);
    _exit(cannotStart);
}

// The layers one process of the child sets up: each step's failure ends
// the child when the layer is required, and is noted otherwise.
class Setup
{
  public:
    explicit Setup(const Plan& plan) : plan(plan)
    {}

    template <typename Step>
    void layer(Layer which, Step step)
    {
        errno = 0;
        const int error = step();
        tried |= bit(which);
        if (error == 0)
        {
            return;
        }
        failed |= bit(which);
        if ((plan.required & bit(which)) != 0)
        {
            send(plan.reportFd, NoteKind::layerFailed,
                 static_cast<std::int32_t>(which), error);
            _exit(cannotStart);
        }
    }

    void reportInForce() const
    {
        send(plan.reportFd, NoteKind::inForce, 0,
             static_cast<std::int32_t>(tried & ~failed));
    }

  private:
    const Plan& plan;
    Layers tried = 0;
    Layers failed = 0;
};

int errorOf(int result)
{
    return result == 0 ? 0 : (errno != 0 ? errno : EPERM);
}

int waitFor(pid_t child)
{
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR)
    {}
    return status;
}

// Marks every descriptor above the standard streams close-on-exec: xz gets
// none of the updater's files.
int closeInheritedDescriptors()
{
    constexpr unsigned firstInherited = 3;
    if (close_range(firstInherited, UINT_MAX, CLOSE_RANGE_CLOEXEC) == 0)
    {
        return 0;
    }
    const long open = sysconf(_SC_OPEN_MAX);
    for (long fd = firstInherited; fd < open; ++fd)
    {
        static_cast<void>(fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC));
    }
    return 0;
}

int applyLimits(const ResourceLimits& limits)
{
    return errorOf(setrlimit(RLIMIT_FSIZE, &limits.fileSize) != 0 ||
                           setrlimit(RLIMIT_CPU, &limits.cpuTime) != 0 ||
                           std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR
                       ? -1
                       : 0);
}

// The decompressor: drops every privilege and becomes xz.
[[noreturn]] void runDecompressor(const Plan& plan, pid_t keeper)
{
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != keeper ||
        (plan.action == Action::test &&
         dup2(plan.quietFd, STDERR_FILENO) != STDERR_FILENO))
    {
        _exit(cannotStart);
    }
    Setup setup(plan);
    setup.layer(Layer::limits, [&] {
        return applyLimits(plan.limits) != 0 ? errno
                                             : closeInheritedDescriptors();
    });
    setup.layer(Layer::capabilities, dropCapabilityBounds);
    setup.layer(Layer::user, [&] {
        return plan.userKnown ? becomeUser(plan.uid, plan.gid) : ENOENT;
    });
    setup.layer(Layer::capabilities, clearCapabilities);
    setup.layer(Layer::noNewPrivs,
                [] { return errorOf(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0)); });
    setup.layer(Layer::seccomp, [] { return installSyscallFilter(getpid()); });
    // Last, once nothing but xz will map memory in this process.
    setup.layer(Layer::limits, [&] {
        return errorOf(setrlimit(RLIMIT_AS, &plan.limits.addressSpace));
    });
    setup.reportInForce();
    execl(plan.program.c_str(), plan.program.c_str(),
          plan.action == Action::test ? testArgument : decompressArgument,
          plan.compressedImage.c_str(), nullptr);
    cannotStartXz(plan, errno);
}

// True when the starter has gone: the lifeline's only writer.
bool starterGone(int lifeline)
{
    pollfd end{lifeline, POLLIN, 0};
    return poll(&end, 1, 0) != 0;
}

// The keeper: pid 1 of the new PID namespace. It sets up the namespaces
// and the root, runs the decompressor and reports its wait status; when it
// ends, the kernel ends everything left in the namespace.
[[noreturn]] void runKeeper(const Plan& plan, int lifeline)
{
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || starterGone(lifeline))
    {
        _exit(cannotStart);
    }
    close(lifeline);
    // A decompressor that is not there is named as such, not as a root that
    // could not be assembled around it.
    if (access(plan.program.c_str(), F_OK) != 0)
    {
        cannotStartXz(plan, errno);
    }
    Setup setup(plan);
    setup.layer(Layer::mount, [&] { return enterMinimalRoot(plan); });
    setup.layer(Layer::network, [] { return errorOf(unshare(CLONE_NEWNET)); });
    setup.layer(Layer::ipc,
                [] { return errorOf(unshare(CLONE_NEWIPC | CLONE_NEWUTS)); });
    const pid_t self = getpid();
    const pid_t xz = fork();
    if (xz < 0)
    {
        cannotStartXz(plan, errno);
    }
    if (xz == 0)
    {
        runDecompressor(plan, self);
    }
    setup.reportInForce();
    const int status = waitFor(xz);
    send(plan.reportFd, NoteKind::status, 0, status);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 0);
}

// The starter: the updater's child. It enters a new PID namespace, whose
// first process is the keeper, and ends as the keeper does.
[[noreturn]] void runStarter(const Plan& plan)
{
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != plan.updater)
    {
        _exit(cannotStart);
    }
    Setup setup(plan);
    setup.layer(Layer::pid, [] { return errorOf(unshare(CLONE_NEWPID)); });
    std::array<int, 2> lifeline{};
    if (pipe2(lifeline.data(), O_CLOEXEC) != 0)
    {
        cannotStartXz(plan, errno);
    }
    const pid_t keeper = fork();
    if (keeper < 0)
    {
        cannotStartXz(plan, errno);
    }
    if (keeper == 0)
    {
        close(lifeline[1]);
        runKeeper(plan, lifeline[0]);
    }
    close(lifeline[0]);
    setup.reportInForce();
    const int status = waitFor(keeper);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : cannotStart);
}

rlimit lowered(int resource, rlim_t limit, rlim_t grace = 0)
{
    rlimit inherited{RLIM_INFINITY, RLIM_INFINITY};
    static_cast<void>(getrlimit(resource, &inherited));
    const rlim_t soft = std::min<rlim_t>(inherited.rlim_cur, limit);
    return {soft, std::min<rlim_t>(inherited.rlim_max, soft + grace)};
}

} // namespace

Layers requiredByBuild()
{
    return parseLayers(limits::decompressorConfinement) | bit(Layer::limits);
}

std::string describe(Layers layers)
{
    std::string names;
    for (std::size_t i = 0; i < layerNames.size(); ++i)
    {
        if ((layers & (Layers{1} << i)) != 0)
        {
            names += (names.empty() ? "" : ",");
            names += layerNames.at(i);
        }
    }
    return names;
}

Plan planFor(const ScratchArea& area, Layers required)
{
    Plan plan;
    plan.required = required;
    std::vector<char> buffer(static_cast<std::size_t>(
        std::max<long>(sysconf(_SC_GETPW_R_SIZE_MAX), 16384)));
    passwd entry{};
    passwd* found = nullptr;
    if (getpwnam_r(limits::decompressorUser, &entry, buffer.data(),
                   buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_uid != 0)
    {
        plan.userKnown = true;
        plan.uid = found->pw_uid;
        plan.gid = found->pw_gid;
    }
    plan.limits.fileSize = lowered(RLIMIT_FSIZE, limits::maxImageSize);
    plan.limits.fileSize.rlim_max = plan.limits.fileSize.rlim_cur;
    plan.limits.cpuTime = lowered(
        RLIMIT_CPU, static_cast<rlim_t>(limits::decompressCpuTime.count()),
        cpuGraceSeconds);
    plan.limits.addressSpace = lowered(RLIMIT_AS, limits::decompressMemory);
    plan.limits.addressSpace.rlim_max = plan.limits.addressSpace.rlim_cur;
    plan.program = xzProgram;
    plan.compressedImage = area.compressedImage;
    plan.scratchDirectory = area.directory;
    if (!area.directory.empty() && area.directory.front() != '/')
    {
        std::array<char, PATH_MAX> here{};
        if (getcwd(here.data(), here.size()) != nullptr)
        {
            plan.workingDirectory = here.data();
            plan.scratchDirectory =
                plan.workingDirectory + "/" + area.directory;
        }
    }
    plan.updater = getpid();
    return plan;
}

pid_t startConfined(const Plan& plan)
{
    const pid_t child = fork();
    if (child == 0)
    {
        runStarter(plan);
    }
    return child;
}

Report readReport(int fd)
{
    Report report;
    Note note{};
    while (read(fd, &note, sizeof note) == static_cast<ssize_t>(sizeof note))
    {
        switch (static_cast<NoteKind>(note.kind))
        {
            case NoteKind::inForce:
                report.inForce |= static_cast<Layers>(note.value);
                break;
            case NoteKind::layerFailed:
                if (note.layer >= 0 &&
                    static_cast<std::size_t>(note.layer) < layerNames.size())
                {
                    report.failedLayer = static_cast<std::size_t>(note.layer);
                    report.layerError = note.value;
                }
                break;
            case NoteKind::startFailed:
                report.startError = note.value;
                break;
            case NoteKind::status:
                report.haveStatus = true;
                report.status = note.value;
                break;
        }
    }
    report.inForce &= (Layers{1} << layerNames.size()) - 1;
    return report;
}

} // namespace update::confinement
