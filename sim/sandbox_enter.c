/* Starts a program of the simulated BMC's sandbox (sim/bmc.py) in a private
   mount namespace in which host directories stand in for the tool's fixed
   paths, in one process:

     sandbox-enter [--keep DIR]... [MOUNT]... [--hold] -- PROGRAM ARGS...

   MOUNT, done in the order given:
     --bind HOST TARGET          HOST bound over the directory TARGET
     --tmpfs NAME TARGET OPTIONS a tmpfs named NAME with OPTIONS over TARGET
     --bind-file HOST TARGET     HOST bound over the existing file TARGET

   It enters a new mount namespace (and, for a user other than root, a user
   namespace in which that user is root), makes every mount in it private,
   and opens each kept DIR on descriptors 3, 4, ... so that it stays
   reachable when a mount covers it. A directory TARGET that is missing is
   made on a tmpfs over its nearest existing ancestor, never over "/": the
   host's tree is not touched. After each mount, a kept directory that the
   mount covered is bound again, from its descriptor, over its own path.
   Then the kept descriptors are closed (left open with --hold, for a
   PROGRAM that mounts more and reaches them again itself), and PROGRAM
   replaces this process, found on PATH as a shell finds it, with PWD
   naming the working directory as a shell sets it.

   On the first failure it names the step, the path and the error on
   standard error and exits with that step's status (enum Status), without
   starting PROGRAM. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

/* Exit statuses, one for each step that can fail. */
enum Status
{
    STATUS_USAGE = 90,       /* the arguments are wrong */
    STATUS_NAMESPACE = 91,   /* unshare, the user mapping, private mounts */
    STATUS_KEEP = 92,        /* a kept directory cannot be opened */
    STATUS_MOUNT_POINT = 93, /* a missing mount point cannot be made */
    STATUS_MOUNT = 94,       /* a mount failed */
    STATUS_REACH = 95,       /* a kept directory cannot be bound again */
    STATUS_NO_ANCESTOR = 97, /* a mount point has no ancestor but "/" */
    STATUS_CANNOT_RUN = 126, /* PROGRAM was found but cannot be run */
    STATUS_NOT_FOUND = 127,  /* PROGRAM was not found */
};

enum
{
    FIRST_KEPT_FD = 3,
    MAX_KEPT = 16,
};

struct Kept
{
    int fd;
    const char* path;
};

static struct Kept kept[MAX_KEPT];
static int keptCount;

/* Says what failed (printf-style), with errno's text when `withErrno`, and
   exits with `status`. */
static void fail(enum Status status, int withErrno, const char* format, ...)
    __attribute__((noreturn, format(printf, 3, 4)));

static void fail(enum Status status, int withErrno, const char* format, ...)
{
    int error = errno;
    va_list args;
    va_start(args, format);
    fputs("sandbox-enter: ", stderr);
    vfprintf(stderr, format, args);
    va_end(args);
    if (withErrno)
        fprintf(stderr, ": %s", strerror(error));
    fputc('\n', stderr);
    exit(status);
}

static int isDirectory(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

static void writeProcFile(const char* path, const char* text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    size_t length = strlen(text);
    if (fd < 0 || write(fd, text, length) != (ssize_t)length)
        fail(STATUS_NAMESPACE, 1, "write %s", path);
    close(fd);
}

/* What `unshare --mount --propagation private` does, and for a user other
   than root what --user --map-root-user adds. */
static void enterNamespace(void)
{
    uid_t uid = geteuid();
    gid_t gid = getegid();
    int flags = CLONE_NEWNS | (uid != 0 ? CLONE_NEWUSER : 0);
    if (unshare(flags) != 0)
        fail(STATUS_NAMESPACE, 1, "unshare");
    if (uid != 0)
    {
        char map[64];
        writeProcFile("/proc/self/setgroups", "deny");
        snprintf(map, sizeof map, "0 %u 1", (unsigned)uid);
        writeProcFile("/proc/self/uid_map", map);
        snprintf(map, sizeof map, "0 %u 1", (unsigned)gid);
        writeProcFile("/proc/self/gid_map", map);
    }
    if (mount("none", "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0)
        fail(STATUS_NAMESPACE, 1, "make / private");
}

/* Opens `path` on the next kept descriptor, replacing what was there. Done
   inside the new namespace: only a mount of the caller's own namespace can
   be bound. */
static void keep(const char* path)
{
    int target = FIRST_KEPT_FD + keptCount;
    int fd = open(path, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        fail(STATUS_KEEP, 1, "keep %s", path);
    if (fd != target)
    {
        if (dup2(fd, target) < 0)
            fail(STATUS_KEEP, 1, "keep %s on descriptor %d", path, target);
        close(fd);
    }
    kept[keptCount++] = (struct Kept){target, path};
}

/* `mkdir -p path`, under the process's umask. */
static int makeDirectories(const char* path)
{
    char partial[PATH_MAX];
    size_t length = strlen(path);
    if (length >= sizeof partial)
    {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(partial, path, length + 1);
    for (char* slash = partial + 1;; ++slash)
    {
        slash = strchr(slash, '/');
        if (slash != NULL)
            *slash = '\0';
        if (mkdir(partial, 0777) != 0 &&
            (errno != EEXIST || !isDirectory(partial)))
            return -1;
        if (slash == NULL)
            return 0;
        *slash = '/';
    }
}

/* Makes the directory `target` exist inside the namespace only: when it is
   missing, a tmpfs over its nearest existing ancestor gives room for it. */
static void makeMountPoint(const char* target)
{
    if (isDirectory(target))
        return;
    char ancestor[PATH_MAX];
    snprintf(ancestor, sizeof ancestor, "%s", target);
    while (!isDirectory(ancestor))
    {
        char* slash = strrchr(ancestor, '/');
        if (slash == ancestor)
            slash[1] = '\0';
        else
            *slash = '\0';
    }
    if (strcmp(ancestor, "/") == 0)
        fail(STATUS_NO_ANCESTOR, 0, "no ancestor for %s", target);
    if (mount("sandbox", ancestor, "tmpfs", 0, NULL) != 0)
        fail(STATUS_MOUNT_POINT, 1, "tmpfs over %s for %s", ancestor, target);
    if (makeDirectories(target) != 0)
        fail(STATUS_MOUNT_POINT, 1, "mkdir -p %s", target);
}

static int sameFile(int fd, const char* path)
{
    struct stat held;
    struct stat named;
    return fstat(fd, &held) == 0 && stat(path, &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

/* Binds each kept directory that its path no longer names back over that
   path. The source is the descriptor's /proc link, which the kernel
   follows to the directory itself, not to the covered path. */
static void reachKept(void)
{
    for (int i = 0; i < keptCount; ++i)
    {
        if (sameFile(kept[i].fd, kept[i].path))
            continue;
        char source[32];
        snprintf(source, sizeof source, "/proc/self/fd/%d", kept[i].fd);
        if (makeDirectories(kept[i].path) != 0)
            fail(STATUS_REACH, 1, "mkdir -p %s", kept[i].path);
        if (mount(source, kept[i].path, NULL, MS_BIND, NULL) != 0)
            fail(STATUS_REACH, 1, "bind %s over %s", source, kept[i].path);
    }
}

static void closeKept(void)
{
    for (int i = 0; i < keptCount; ++i)
        close(kept[i].fd);
    keptCount = 0;
}

static void bind(const char* host, const char* target)
{
    if (mount(host, target, NULL, MS_BIND, NULL) != 0)
        fail(STATUS_MOUNT, 1, "bind %s over %s", host, target);
}

static void mountTmpfs(const char* name, const char* target,
                       const char* options)
{
    if (mount(name, target, "tmpfs", 0, options) != 0)
        fail(STATUS_MOUNT, 1, "tmpfs %s (%s) over %s", name, options, target);
}

/* PWD as a POSIX shell leaves it for the programs it starts: kept when it
   names the working directory, else the working directory's path. */
static void setWorkingDirectoryVariable(void)
{
    const char* pwd = getenv("PWD");
    struct stat named;
    struct stat here;
    if (pwd != NULL && pwd[0] == '/' && stat(pwd, &named) == 0 &&
        stat(".", &here) == 0 && named.st_dev == here.st_dev &&
        named.st_ino == here.st_ino)
        return;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != NULL)
        setenv("PWD", cwd, 1);
}

static void run(char** program)
{
    execvp(program[0], program);
    fail(errno == ENOENT ? STATUS_NOT_FOUND : STATUS_CANNOT_RUN, 1, "run %s",
         program[0]);
}

static int countArguments(char** argv, int from, int needed, const char* name)
{
    for (int i = 1; i <= needed; ++i)
        if (argv[from + i] == NULL || strcmp(argv[from + i], "--") == 0)
            fail(STATUS_USAGE, 0, "%s takes %d operands", name, needed);
    return needed;
}

static void requireAbsolute(const char* path)
{
    if (path[0] != '/')
        fail(STATUS_USAGE, 0, "%s: not an absolute path", path);
}

/* The kept directories and the mounts, in the order given. */
static int enter(char** argv, int i, int* hold)
{
    enterNamespace();
    for (; argv[i] != NULL && strcmp(argv[i], "--keep") == 0; i += 2)
    {
        countArguments(argv, i, 1, "--keep");
        if (keptCount == MAX_KEPT)
            fail(STATUS_USAGE, 0, "more than %d kept directories", MAX_KEPT);
        keep(argv[i + 1]);
    }
    for (; argv[i] != NULL && strcmp(argv[i], "--") != 0; ++i)
    {
        const char* option = argv[i];
        if (strcmp(option, "--bind") == 0)
        {
            i += countArguments(argv, i, 2, option);
            requireAbsolute(argv[i]);
            makeMountPoint(argv[i]);
            bind(argv[i - 1], argv[i]);
        }
        else if (strcmp(option, "--tmpfs") == 0)
        {
            i += countArguments(argv, i, 3, option);
            requireAbsolute(argv[i - 1]);
            makeMountPoint(argv[i - 1]);
            mountTmpfs(argv[i - 2], argv[i - 1], argv[i]);
        }
        else if (strcmp(option, "--bind-file") == 0)
        {
            i += countArguments(argv, i, 2, option);
            bind(argv[i - 1], argv[i]);
        }
        else if (strcmp(option, "--hold") == 0)
        {
            *hold = 1;
            continue;
        }
        else
            fail(STATUS_USAGE, 0, "unknown option %s", option);
        reachKept();
    }
    return i;
}

int main(int argc, char** argv)
{
    if (argc < 2)
        fail(STATUS_USAGE, 0, "no program after --");
    int hold = 0;
    setWorkingDirectoryVariable();
    int i = enter(argv, 1, &hold);
    if (argv[i] == NULL || strcmp(argv[i], "--") != 0 || argv[i + 1] == NULL)
        fail(STATUS_USAGE, 0, "no program after --");
    if (!hold)
        closeKept();
    run(argv + i + 1);
}
