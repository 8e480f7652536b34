#pragma once

// The confinement of the decompressor child.
//
// xz is the first program to read the bytes of a capsule that nobody has
// verified yet, so it runs in layers of confinement, each of which stops
// an escape on its own:
//
//   user          an unprivileged account and group, no supplementary groups
//   capabilities  none left, the bounding and ambient sets emptied
//   no-new-privs  no set-uid or file capability can give any back
//   mount         its own mount namespace whose root holds only xz, the
//                 shared libraries (read-only) and the scratch directory
//   pid           its own PID namespace: the updater is invisible to it,
//                 and no descendant outlives it
//   network       its own network namespace: no interface, no socket path
//   ipc           its own IPC and UTS namespaces
//   seccomp       an allow-list of the system calls a decompressor makes
//   limits        file size, CPU time and address space (always required)
//
// The build names the layers that are required; a required layer that
// cannot be set up ends the child before xz starts, and its failure comes
// back to the updater. The others are set up where the kernel offers them.
//
// Three processes carry it: the updater forks the starter, which enters a
// new PID namespace and forks the keeper (pid 1 there), which sets up the
// namespaces and the root and forks the decompressor, which drops its
// privileges and execs xz. The keeper sends xz's wait status back, so the
// updater sees xz's exit-code byte as if it were its own child.

#include "handles/fd.hpp"
#include "update/bios_image_context.hpp"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace update::confinement
{

// The decompressor, run as "<xzProgram> -d <compressed image>".
inline constexpr const char* xzProgram = "/usr/bin/xz";

// What xz is run for: to decompress the body into the image, or only to
// test that the body decodes (-t), writing nothing and saying nothing.
enum class Action : std::uint8_t
{
    decompress,
    test,
};

enum class Layer : std::uint8_t
{
    user,
    capabilities,
    noNewPrivs,
    mount,
    pid,
    network,
    ipc,
    seccomp,
    limits,
};

inline constexpr std::array<std::string_view, 9> layerNames{
    "user",    "capabilities", "no-new-privs", "mount",  "pid",
    "network", "ipc",          "seccomp",      "limits",
};

// A set of layers, one bit each.
using Layers = std::uint32_t;

constexpr Layers bit(Layer layer)
{
    return Layers{1} << static_cast<unsigned>(layer);
}

// The layers named in a comma-separated list; an unknown name gives every
// bit above the known ones, which no list of the build may hold.
constexpr Layers parseLayers(std::string_view list)
{
    Layers layers = 0;
    while (!list.empty())
    {
        const std::size_t end = list.find(',');
        const std::string_view name = list.substr(0, end);
        bool known = false;
        for (std::size_t i = 0; i < layerNames.size(); ++i)
        {
            if (layerNames.at(i) == name)
            {
                layers |= Layers{1} << i;
                known = true;
            }
        }
        layers |= known ? 0 : ~((Layers{1} << layerNames.size()) - 1);
        list = end == std::string_view::npos ? "" : list.substr(end + 1);
    }
    return layers;
}

// The layers without which no decompressor runs: the build's choice, and
// the limits, which no build goes without.
Layers requiredByBuild();

// The names of `layers`, comma-separated, in the order of Layer.
std::string describe(Layers layers);

// The limits of the xz child: the built-in ones, or lower ones that the
// updater was started with.
struct ResourceLimits
{
    rlimit fileSize{};
    rlimit cpuTime{};
    rlimit addressSpace{};
};

// Everything the child needs, settled before fork: the child looks nothing
// up.
struct Plan
{
    Layers required = 0;
    // The account xz runs as; false when the build's account is unknown,
    // which fails the user layer.
    bool userKnown = false;
    uid_t uid = 0;
    gid_t gid = 0;
    ResourceLimits limits;
    // Where the child reports, close-on-exec (Report below).
    int reportFd = -1;
    Action action = Action::decompress;
    // With Action::test: /dev/null, which xz gets as its standard error.
    int quietFd = -1;
    std::string program;
    std::string compressedImage;
    // The scratch directory, absolute, and the working directory xz starts
    // in, where a relative compressed image's path leads to it.
    std::string scratchDirectory;
    std::string workingDirectory = "/";
    pid_t updater = 0;
};

// The plan to decompress `area` with the account and limits of the build.
Plan planFor(const ScratchArea& area, Layers required);

// What the child reported back.
struct Report
{
    // Layers in force when xz was started.
    Layers inForce = 0;
    // The layer that could not be set up, and why (errno); none when
    // `failedLayer` is layerNames.size().
    std::size_t failedLayer = layerNames.size();
    int layerError = 0;
    // errno of a failed start of xz itself; 0 when it started.
    int startError = 0;
    // xz's wait status, when the keeper saw it end.
    bool haveStatus = false;
    int status = 0;
};

// Forks the child that runs xz under `plan`; fork's result.
pid_t startConfined(const Plan& plan);

// Reads what the child wrote to the report pipe (non-blocking, after the
// child has ended); bad or short records are ignored.
Report readReport(int fd);

// One run of the confined decompressor, as the updater saw it.
struct Run
{
    // False when the child could not be forked.
    bool forked = false;
    // xz's wait status (the child's own when the keeper could not say).
    int status = 0;
    Report report;
    // The scratch directory, held open across the run, and what it was.
    UniqueFd directory;
    struct stat made
    {};
    // The account xz wrote its image as.
    uid_t writer = 0;
};

// Lends the scratch directory to the build's account, runs xz over `area`
// with the `required` layers for `action` and waits for it; the updater is
// not dumpable meanwhile. While xz runs, whileRunning (when given) is called
// again and again; whenever it says it did nothing, the updater sleeps a
// little or until xz ends.
Run runDecompressor(const ScratchArea& area, Layers required,
                    Action action = Action::decompress,
                    const std::function<bool()>& whileRunning = {});

// The image xz left in `area`, opened read-only without following a link
// and without blocking; invalid unless it is a regular file with one link,
// owned by the account xz ran as, in the directory the updater made, which
// still stands at its path.
UniqueFd openImage(const Run& run, const ScratchArea& area);

} // namespace update::confinement
