/* Stands in for "/usr/bin/xz -d FILE.lzma" in the end-to-end tests, bound
   over /usr/bin/xz in the sandbox. It decompresses as xz does (writes FILE,
   removes FILE.lzma, exits 0) after doing what XZ_STAND_IN says:
     fail     say "xz: simulated failure" and exit 1, writing nothing
     nothing  exit 0, writing nothing
     kill     SIGKILL itself
     spin     spend CPU time until stopped
     limits   print its limits, whether SIGXFSZ is ignored and the mode of
              FILE's directory, and exit 1
     slow     wait 0.3 s first
     sleep    wait 600 s first
     ATTEMPT[:ARG]  try one escape; print "escaped: ATTEMPT" if it worked
   Escapes: create:PATH, append:PATH, read:PATH, procfd:PID (write through
   /proc/PID/fd), signal:PID, ptrace:PID, bus (the system bus socket),
   tcp:PORT (127.0.0.1), caps, nnp (no-new-privs unset), fds (descriptors
   beyond 0, 1, 2), child (a process left behind). */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <lzma.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

static int writeSome(int fd)
{
    int done = fd >= 0 && write(fd, "x", 1) == 1;
    if (fd >= 0)
        close(fd);
    return done;
}

static int writeThroughProc(const char *pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%s/fd", pid);
    DIR *dir = opendir(path);
    int done = 0;
    for (struct dirent *e; dir != NULL && (e = readdir(dir)) != NULL;)
    {
        char fd[384];
        snprintf(fd, sizeof fd, "%s/%s", path, e->d_name);
        done |= e->d_name[0] != '.' && writeSome(open(fd, O_WRONLY));
    }
    if (dir != NULL)
        closedir(dir);
    return done;
}

static int connects(int family, const void *address, socklen_t size)
{
    int s = socket(family, SOCK_STREAM, 0);
    int done = s >= 0 && connect(s, address, size) == 0;
    if (s >= 0)
        close(s);
    return done;
}

static int reachesBus(void)
{
    const char *address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    struct sockaddr_un un = {.sun_family = AF_UNIX};
    if (address == NULL || strncmp(address, "unix:path=", 10) != 0)
        return 0;
    snprintf(un.sun_path, sizeof un.sun_path, "%s", address + 10);
    return connects(AF_UNIX, &un, sizeof un);
}

static int reachesLoopback(const char *port)
{
    struct sockaddr_in in = {.sin_family = AF_INET,
                             .sin_port = htons((uint16_t)atoi(port)),
                             .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    return connects(AF_INET, &in, sizeof in);
}

static int hasCapabilities(void)
{
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct sets[2] = {{0}};
    return syscall(SYS_capget, &header, sets) == 0 &&
           (sets[0].effective | sets[1].effective) != 0;
}

static int inheritedDescriptor(void)
{
    for (int fd = 3; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) >= 0)
            return 1;
    return 0;
}

static int leavesChild(void)
{
    pid_t child = fork();
    if (child == 0)
    {
        sleep(30);
        _exit(0);
    }
    return 0; /* judged from outside: no process may be left */
}

/* One escape attempt; true when it worked. */
static int escapes(const char *attempt, const char *arg)
{
    const pid_t pid = arg != NULL ? (pid_t)atoi(arg) : 0;
    if (strcmp(attempt, "create") == 0)
        return writeSome(open(arg, O_WRONLY | O_CREAT | O_EXCL, 0644));
    if (strcmp(attempt, "append") == 0)
        return writeSome(open(arg, O_WRONLY | O_APPEND));
    if (strcmp(attempt, "read") == 0)
        return open(arg, O_RDONLY) >= 0;
    if (strcmp(attempt, "procfd") == 0)
        return writeThroughProc(arg);
    if (strcmp(attempt, "signal") == 0)
        return kill(pid, 0) == 0;
    if (strcmp(attempt, "ptrace") == 0)
        return ptrace(PTRACE_ATTACH, pid, 0, 0) == 0;
    if (strcmp(attempt, "bus") == 0)
        return reachesBus();
    if (strcmp(attempt, "tcp") == 0)
        return reachesLoopback(arg);
    if (strcmp(attempt, "caps") == 0)
        return hasCapabilities();
    if (strcmp(attempt, "nnp") == 0)
        return prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 0;
    if (strcmp(attempt, "fds") == 0)
        return inheritedDescriptor();
    if (strcmp(attempt, "child") == 0)
        return leavesChild();
    fprintf(stderr, "xz stand-in: unknown attempt %s\n", attempt);
    return 1;
}

static void printLimits(const char *input)
{
    const int resources[] = {RLIMIT_FSIZE, RLIMIT_CPU, RLIMIT_AS};
    for (unsigned i = 0; i < 3; ++i)
    {
        struct rlimit limit;
        getrlimit(resources[i], &limit);
        fprintf(stderr, "(%lld, %lld) ", (long long)limit.rlim_cur,
                (long long)limit.rlim_max);
    }
    struct sigaction action;
    sigaction(SIGXFSZ, NULL, &action);
    char directory[4096];
    snprintf(directory, sizeof directory, "%s", input);
    *strrchr(directory, '/') = '\0';
    struct stat facts = {0};
    stat(directory, &facts);
    fprintf(stderr, "%s %o\n",
            action.sa_handler == SIG_IGN ? "True" : "False",
            (unsigned)(facts.st_mode & 07777));
}

static int decompress(const char *input)
{
    char output[4096];
    size_t length = strlen(input);
    if (length < 5 || length >= sizeof output)
        return 1;
    memcpy(output, input, length - 5);
    output[length - 5] = '\0';
    FILE *in = fopen(input, "rb");
    int out = open(output, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    lzma_stream stream = LZMA_STREAM_INIT;
    if (in == NULL || out < 0 ||
        lzma_alone_decoder(&stream, UINT64_MAX) != LZMA_OK)
        return 1;
    static uint8_t inBuffer[1 << 16], outBuffer[1 << 16];
    lzma_ret ret = LZMA_OK;
    while (ret == LZMA_OK)
    {
        if (stream.avail_in == 0 && !feof(in))
        {
            stream.next_in = inBuffer;
            stream.avail_in = fread(inBuffer, 1, sizeof inBuffer, in);
        }
        stream.next_out = outBuffer;
        stream.avail_out = sizeof outBuffer;
        ret = lzma_code(&stream, feof(in) ? LZMA_FINISH : LZMA_RUN);
        size_t made = sizeof outBuffer - stream.avail_out;
        if (made != 0 && write(out, outBuffer, made) != (ssize_t)made)
            return 1;
    }
    lzma_end(&stream);
    fclose(in);
    close(out);
    return ret == LZMA_STREAM_END && unlink(input) == 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    const char *mode = getenv("XZ_STAND_IN");
    char what[256];
    snprintf(what, sizeof what, "%s", mode != NULL ? mode : "");
    char *arg = strchr(what, ':');
    if (arg != NULL)
        *arg++ = '\0';
    if (argc != 3 || strcmp(argv[1], "-d") != 0)
        return 2;
    const struct timespec pause = {0, 300000000};
    if (strcmp(what, "fail") == 0)
    {
        fputs("xz: simulated failure\n", stderr);
        return 1;
    }
    if (strcmp(what, "nothing") == 0)
        return 0;
    if (strcmp(what, "kill") == 0)
        raise(SIGKILL);
    if (strcmp(what, "spin") == 0)
        for (;;)
        {
        }
    if (strcmp(what, "limits") == 0)
    {
        printLimits(argv[2]);
        return 1;
    }
    if (strcmp(what, "slow") == 0)
        nanosleep(&pause, NULL);
    if (strcmp(what, "sleep") == 0)
        sleep(600);
    if (what[0] != '\0' && strcmp(what, "slow") != 0 &&
        strcmp(what, "sleep") != 0 && escapes(what, arg))
        fprintf(stderr, "escaped: %s\n", what);
    return decompress(argv[2]);
}
