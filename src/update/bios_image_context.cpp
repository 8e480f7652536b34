#include "update/bios_image_context.hpp"

#include "audit/audit_record.hpp"
#include "build_limits.hpp"
#include "capsule/layout.hpp"
#include "diag.hpp"
#include "update/decompression_fault.hpp"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

namespace update
{
namespace
{

constexpr const char* xzPath = "/usr/bin/xz";
constexpr const char* xzDecompress = "-d";
constexpr mode_t scratchDirectoryMode = 0766;

using namespace capsule::layout;

constexpr int exitCodeByteMask = 0xFF00;

constexpr int failure = 1;

// Removing the scratch area is best effort: a name that is gone already, or
// cannot be removed, is replaced by the next update's own copy.
void removeScratchArea(const ScratchArea& area)
{
    static_cast<void>(std::remove(area.compressedImage.c_str()));
    static_cast<void>(std::remove(area.image.c_str()));
    static_cast<void>(std::remove(area.directory.c_str()));
}

// Streams the rest of `in` into `out`. Stops at the first empty read, end of
// file and read error alike; write results are not checked.
void copyRest(std::FILE* in, std::FILE* out, std::uint8_t* buffer)
{
    std::size_t count = std::fread(buffer, 1, streamBufferSize, in);
    while (count != 0)
    {
        static_cast<void>(std::fwrite(buffer, 1, count, out));
        count = std::fread(buffer, 1, streamBufferSize, in);
    }
}

// What execl returns when it fails.
constexpr int execFailed = -1;

// After the CPU limit's warning signal, xz has this long to remove its
// output before it is killed.
constexpr rlim_t cpuGraceSeconds = 5;

// The limits of the xz child: the built-in ones, or lower ones that the
// updater was started with.
struct DecompressorLimits
{
    rlimit fileSize{};
    rlimit cpuTime{};
};

DecompressorLimits decompressorLimits()
{
    DecompressorLimits limits{};
    rlimit inherited{RLIM_INFINITY, RLIM_INFINITY};
    (void)getrlimit(RLIMIT_FSIZE, &inherited);
    const rlim_t fileSize =
        std::min<rlim_t>(inherited.rlim_cur, limits::maxImageSize);
    limits.fileSize = {fileSize, fileSize};

    inherited = {RLIM_INFINITY, RLIM_INFINITY};
    (void)getrlimit(RLIMIT_CPU, &inherited);
    const rlim_t cpuTime = std::min<rlim_t>(
        inherited.rlim_cur,
        static_cast<rlim_t>(limits::decompressCpuTime.count()));
    limits.cpuTime = {cpuTime, std::min<rlim_t>(inherited.rlim_max,
                                                cpuTime + cpuGraceSeconds)};
    return limits;
}

// Starts "/usr/bin/xz -d <compressed image>" as a child process and returns
// fork's result. A child whose execl fails ends with execl's result as its
// exit status (255).
//
// The child may write no file larger than the largest image, and may use
// only so much CPU time. With SIGXFSZ ignored, a write past the size limit
// fails and xz ends with exit status 1, its output removed; past the CPU
// time, xz removes its output and ends by SIGXCPU, so the next step finds
// no image. Either way the capsule fails in unwrapping and the 32-bit image
// size can never wrap.
//
// The child is killed when the updater ends, so that no xz outlives the
// update that started it; if the updater is already gone, it does not run.
pid_t startDecompressor(const ScratchArea& area)
{
    const DecompressorLimits limits = decompressorLimits();
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0)
    {
        // Unbounded, xz does not run: the child ends as if it had not started.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent ||
            setrlimit(RLIMIT_FSIZE, &limits.fileSize) != 0 ||
            setrlimit(RLIMIT_CPU, &limits.cpuTime) != 0 ||
            std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR)
        {
            std::exit(execFailed);
        }
        const int result = execl(xzPath, xzPath, xzDecompress,
                                 area.compressedImage.c_str(), nullptr);
        std::exit(result);
    }
    return child;
}

// Blocks until the child has ended and returns its status word.
int waitForDecompressor(pid_t child)
{
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

} // namespace

ScratchArea ScratchArea::in(const std::string& directory)
{
    return {directory, directory + "/bios.lzma", directory + "/bios"};
}

BiosImageContext::BiosImageContext(const std::string& capsulePath,
                                   ScratchArea area) :
    BiosImageContext(capsulePath,
                     FilePtr(std::fopen(capsulePath.c_str(), "rb")),
                     std::move(area))
{}

BiosImageContext::BiosImageContext(std::string capsulePath, FilePtr capsule,
                                   ScratchArea area) :
    file(std::move(capsule)),
    path(std::move(capsulePath)), scratch(std::move(area))
{}

BiosImageContext::~BiosImageContext()
{
    file.reset();
    removeScratchArea(scratch);
}

namespace
{

// Reads the RBU header behind the UEFI header and leaves the stream at the
// compressed body. False once a failure line has been written.
bool seekCompressedBody(std::FILE* file)
{
    if (std::fseek(file, uefiHeaderSize, SEEK_SET) != 0)
    {
        // Reported, and the unwrapping carries on all the same: the header
        // read that follows fails on its own if the stream is unusable.
        // (The capsule is a regular file, on which this seek cannot fail.)
        diag::fail(lines::uefiHeaderNotSkipped);
    }
    RbuHeaderWords header{};
    if (std::fread(header.data(), rbuWordSize, rbuWordCount, file) !=
        rbuWordCount)
    {
        diag::fail(lines::capFileUnread);
        return false;
    }
    if (readLe32(header.data()) != rbuSignature)
    {
        diag::fail(lines::noRbuInCapFile);
        return false;
    }
    const long bodyOffset =
        static_cast<long>(uefiHeaderSize) + header[rbuLengthOffset];
    if (std::fseek(file, bodyOffset, SEEK_SET) != 0)
    {
        // Reported, and carried on from where the stream stands, as after
        // the seek past the UEFI header.
        diag::fail(lines::rbuNotSkipped);
    }
    return true;
}

// Copies the compressed body into the scratch area and closes the capsule.
bool extractCompressedBody(BiosImageContext& ctx)
{
    StreamBuffer buffer = allocateStreamBuffer();
    if (!buffer)
    {
        diag::fail(lines::noCopyBuffer);
        return false;
    }
    FilePtr compressed(std::fopen(ctx.scratch.compressedImage.c_str(), "wb"));
    if (!compressed)
    {
        diag::fail(lines::compressedNotOpened);
        return false;
    }
    copyRest(ctx.file.get(), compressed.get(), buffer.get());
    buffer.reset();
    ctx.file.reset();
    compressed.reset();
    return true;
}

// Runs the decompressor over the scratch area and opens what it wrote,
// noting its size.
bool decompressImage(BiosImageContext& ctx)
{
    const ScratchArea& area = ctx.scratch;
    const pid_t child = startDecompressor(area);
    if (child < 0)
    {
        diag::fail(lines::decompressorNotForked);
        return false;
    }
    if ((waitForDecompressor(child) & exitCodeByteMask) != 0)
    {
        diag::fail(lines::decompressorFailed);
        if (bmcAtFault(xzPath, area))
        {
            audit::noteCause(diag::Cause::bmcState);
        }
        return false;
    }
    ctx.file.reset(std::fopen(area.image.c_str(), "rb"));
    if (!ctx.file)
    {
        diag::fail(lines::imageNotOpened);
        return false;
    }
    if (std::fseek(ctx.file.get(), 0, SEEK_END) != 0)
    {
        return false;
    }
    ctx.imageSize = static_cast<std::uint32_t>(std::ftell(ctx.file.get()));
    return true;
}

} // namespace

bool copyCompressedBody(BiosImageContext& ctx)
{
    return seekCompressedBody(ctx.file.get()) && extractCompressedBody(ctx);
}

int uncompressBiosCapFile(BiosImageContext& ctx)
{
    const ScratchArea& area = ctx.scratch;
    removeScratchArea(area);
    if (mkdir(area.directory.c_str(), scratchDirectoryMode) != 0)
    {
        diag::fail(lines::noScratchArea);
        return failure;
    }
    if (!ctx.file)
    {
        diag::fail(lines::noCapFile);
        return failure;
    }
    if (!copyCompressedBody(ctx) || !decompressImage(ctx))
    {
        return failure;
    }
    return 0;
}

} // namespace update
