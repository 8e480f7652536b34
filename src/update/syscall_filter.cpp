#include "update/confinement_steps.hpp"

#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <array>
#include <cerrno>
#include <memory>

namespace update::confinement
{
namespace
{

// What xz, its C library and its dynamic loader call to decompress one file
// into another: reading, writing and mapping files, removing its input,
// giving its output the input's owner, mode and times, its signal handling,
// threads, time and memory. Names the architecture lacks are skipped.
constexpr std::array allowed{
    "access",
    "arch_prctl",
    "brk",
    "capget",
    "clock_gettime",
    "clock_gettime64",
    "clock_nanosleep",
    "close",
    "dup",
    "dup2",
    "dup3",
    "execve",
    "exit",
    "exit_group",
    "faccessat",
    "faccessat2",
    "fadvise64",
    "fadvise64_64",
    "fchmod",
    "fchown",
    "fchown32",
    "fcntl",
    "fcntl64",
    "fdatasync",
    "fstat",
    "fstat64",
    "fstatat64",
    "fsync",
    "futex",
    "getegid",
    "geteuid",
    "getgid",
    "getpid",
    "getppid",
    "getrandom",
    "getrlimit",
    "gettid",
    "gettimeofday",
    "getuid",
    "lseek",
    "_llseek",
    "lstat",
    "lstat64",
    "madvise",
    "mmap",
    "mmap2",
    "mprotect",
    "mremap",
    "munmap",
    "nanosleep",
    "newfstatat",
    "open",
    "openat",
    "pipe",
    "pipe2",
    "poll",
    "ppoll",
    "pread64",
    "pwrite64",
    "read",
    "readlink",
    "readlinkat",
    "readv",
    "restart_syscall",
    "rseq",
    "rt_sigaction",
    "rt_sigprocmask",
    "rt_sigreturn",
    "sched_getaffinity",
    "sched_yield",
    "set_robust_list",
    "set_tid_address",
    "sigaltstack",
    "sigreturn",
    "stat",
    "stat64",
    "statx",
    "sysinfo",
    "ugetrlimit",
    "umask",
    "uname",
    "unlink",
    "unlinkat",
    "utimensat",
    "write",
    "writev",
};

// The answer to everything else.
constexpr std::uint32_t refused = SCMP_ACT_ERRNO(EPERM);

struct ReleaseFilter
{
    void operator()(void* filter) const
    {
        seccomp_release(filter);
    }
};
using Filter = std::unique_ptr<void, ReleaseFilter>;

int allowNamed(const Filter& filter)
{
    for (const char* name : allowed)
    {
        const int number = seccomp_syscall_resolve_name(name);
        if (number < 0)
        {
            continue;
        }
        if (const int rc =
                seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, number, 0);
            rc < 0)
        {
            return -rc;
        }
    }
    return 0;
}

// A comparison of a call's argument `index` (the library's SCMP_A<n> macros
// are C compound literals): with SCMP_CMP_MASKED_EQ, `a` is the mask and `b`
// the value.
constexpr scmp_arg_cmp argument(unsigned index, scmp_compare op, scmp_datum_t a,
                                scmp_datum_t b = 0)
{
    return scmp_arg_cmp{index, op, a, b};
}

// The calls allowed only with some arguments: terminal queries on its
// standard streams, threads but no processes, signals to itself alone,
// reading its limits and lowering its address space, and reading its
// no-new-privileges flag. clone3 answers "not implemented", so that the C
// library falls back to clone, whose flags can be checked.
int allowNarrowed(const Filter& filter, pid_t self)
{
    const auto pid = static_cast<scmp_datum_t>(self);
    const std::array<int, 9> results{
        seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1,
                         argument(1, SCMP_CMP_EQ, TCGETS)),
        seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1,
                         argument(1, SCMP_CMP_EQ, TIOCGWINSZ)),
        seccomp_rule_add(
            filter.get(), SCMP_ACT_ALLOW, SCMP_SYS(clone), 1,
            argument(0, SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)),
        seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3),
                         0),
        seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, SCMP_SYS(kill), 1,
                         argument(0, SCMP_CMP_EQ, pid)),
        seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1,
                         argument(0, SCMP_CMP_EQ, pid)),
        seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), 2,
                         argument(0, SCMP_CMP_EQ, 0),
                         argument(2, SCMP_CMP_EQ, 0)),
        seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), 2,
                         argument(0, SCMP_CMP_EQ, 0),
                         argument(1, SCMP_CMP_EQ, RLIMIT_AS)),
        seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, SCMP_SYS(prctl), 1,
                         argument(0, SCMP_CMP_EQ, PR_GET_NO_NEW_PRIVS)),
    };
    for (const int rc : results)
    {
        if (rc < 0)
        {
            return -rc;
        }
    }
    return 0;
}

} // namespace

int installSyscallFilter(pid_t self)
{
    const Filter filter(seccomp_init(refused));
    if (!filter)
    {
        return ENOMEM;
    }
    if (const int error = allowNamed(filter); error != 0)
    {
        return error;
    }
    if (const int error = allowNarrowed(filter, self); error != 0)
    {
        return error;
    }
    const int rc = seccomp_load(filter.get());
    return rc < 0 ? -rc : 0;
}

} // namespace update::confinement
