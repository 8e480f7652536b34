#include "update/bios_image_context.hpp"

#include "audit/audit_record.hpp"
#include "capsule/layout.hpp"
#include "diag.hpp"
#include "tasks/file_io.hpp"
#include "update/confinement.hpp"
#include "update/decompression_fault.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

namespace update
{
namespace
{

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
    path(std::move(capsulePath)), scratch(std::move(area)),
    requiredConfinement(confinement::requiredByBuild())
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

// Links the body copied out of the capsule beforehand into the scratch area,
// if it begins where the stream stands; false when there is none, or it
// cannot be linked, and the body is to be copied.
bool linkPreparedBody(BiosImageContext& ctx)
{
    const CompressedBody body = std::move(ctx.preparedBody);
    return body.file.valid() && std::ftell(ctx.file.get()) == body.offset &&
           tasks::linkUnnamed(body.file.get(), AT_FDCWD,
                              ctx.scratch.compressedImage) == 0;
}

// Copies the compressed body into the scratch area and closes the capsule.
bool extractCompressedBody(BiosImageContext& ctx)
{
    if (linkPreparedBody(ctx))
    {
        ctx.file.reset();
        return true;
    }
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

// Says why xz did not start, when the child could tell: a layer of its
// confinement that could not be set up, or the start itself.
void reportStartFailure(const confinement::Report& report)
{
    if (report.failedLayer < confinement::layerNames.size())
    {
        const std::string layer(confinement::layerNames.at(report.failedLayer));
        diag::fail(lines::confinementFailed, layer.c_str(),
                   std::strerror(report.layerError), report.layerError);
    }
    else if (report.startError != 0)
    {
        diag::fail(lines::decompressorNotStarted, confinement::xzProgram,
                   std::strerror(report.startError), report.startError);
    }
}

void noteConfinement(const confinement::Report& report)
{
    const bool layerFailed =
        report.failedLayer < confinement::layerNames.size();
    audit::noteDecompressor(
        confinement::describe(report.inForce),
        layerFailed
            ? std::string(confinement::layerNames.at(report.failedLayer))
            : std::string(report.startError != 0 ? "start" : ""),
        layerFailed ? report.layerError : report.startError);
}

// Runs the decompressor over the scratch area and opens what it wrote,
// noting its size.
bool decompressImage(BiosImageContext& ctx)
{
    const ScratchArea& area = ctx.scratch;
    // The image is hashed as xz writes it. Other work waits until xz has
    // started: until then, setting up its confinement needs the other core.
    ImageFollower follower(area.directory, tasks::nameOf(area.image));
    const confinement::Run run = confinement::runDecompressor(
        area, ctx.requiredConfinement, confinement::Action::decompress,
        [&follower, &ctx] {
            return follower.follow() ||
                   (!follower.awaiting() && ctx.whileDecompressing &&
                    ctx.whileDecompressing());
        });
    if (!run.forked)
    {
        diag::fail(lines::decompressorNotForked);
        return false;
    }
    noteConfinement(run.report);
    if ((run.status & exitCodeByteMask) != 0)
    {
        reportStartFailure(run.report);
        diag::fail(lines::decompressorFailed);
        if (bmcAtFault(area, ctx.requiredConfinement))
        {
            audit::noteCause(diag::Cause::bmcState);
        }
        return false;
    }
    UniqueFd image = confinement::openImage(run, area);
    if (image.valid())
    {
        ctx.imageDigest = follower.finish(image.get());
    }
    ctx.file.reset(image.valid() ? fdopen(image.get(), "rb") : nullptr);
    if (!ctx.file)
    {
        diag::fail(lines::imageNotOpened);
        return false;
    }
    static_cast<void>(image.release());
    if (std::fseek(ctx.file.get(), 0, SEEK_END) != 0)
    {
        return false;
    }
    ctx.imageSize = static_cast<std::uint32_t>(std::ftell(ctx.file.get()));
    return true;
}

// Makes the scratch directory. A body copied out beforehand may hold the
// room the directory needs: it then gives way, and the body is copied.
bool makeScratchDirectory(BiosImageContext& ctx)
{
    const char* directory = ctx.scratch.directory.c_str();
    if (mkdir(directory, scratchDirectoryMode) == 0)
    {
        return true;
    }
    if (!ctx.preparedBody.file.valid())
    {
        return false;
    }
    ctx.preparedBody = {};
    return mkdir(directory, scratchDirectoryMode) == 0;
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
    if (!makeScratchDirectory(ctx))
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
