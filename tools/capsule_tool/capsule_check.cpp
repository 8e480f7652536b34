#include "capsule_tool/capsule_check.hpp"

#include "builder/keys.hpp"
#include "builder/scratch_directory.hpp"
#include "capsule/layout.hpp"
#include "capsule_tool/stderr_capture.hpp"
#include "update/bios_image_context.hpp"
#include "update/confinement.hpp"
#include "update/verify_image.hpp"
#include "vardex/manifest_check.hpp"
#include "vardex/manifest_format.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

namespace capsule_tool
{
namespace
{

namespace layout = capsule::layout;

// Positions the image after its RBU header; false without one.
bool skipRbuHeader(std::FILE* image)
{
    layout::RbuHeaderWords header{};
    return std::fseek(image, 0, SEEK_SET) == 0 &&
           std::fread(header.data(), layout::rbuWordSize, layout::rbuWordCount,
                      image) == layout::rbuWordCount &&
           std::memcmp(header.data(), layout::rbuMagic.data(),
                       layout::rbuMagic.size()) == 0 &&
           std::fseek(image, header[layout::rbuLengthOffset], SEEK_SET) == 0;
}

// What the updater's verification does, with the manifest checked against
// `root` instead of the build's root key.
bool verifyAgainst(const capsule::Bytes& root, update::BiosImageContext& ctx,
                   Verdict& verdict)
{
    std::FILE* image = ctx.file.get();
    std::vector<std::uint8_t> manifest;
    std::vector<std::uint8_t> keyRecord;
    const char* failure = nullptr;
    if (!skipRbuHeader(image))
    {
        failure = "the image does not start with an RBU header";
    }
    else if (!vardex::readManifest(image, manifest) ||
             !vardex::manifestAuthentic(manifest, root.data(), root.size()))
    {
        failure = "the manifest does not verify against the root key";
    }
    else
    {
        vardex::buildKeyRecord(manifest, keyRecord);
        if (update::signature_verify(image, ctx.imageSize, keyRecord.data()) !=
            0)
        {
            failure = "the image signature does not verify";
        }
        else if ((verdict.releaseType =
                      manifest[vardex::format::releaseTypeOffset]) == 0)
        {
            failure = "the manifest carries no release type";
        }
    }
    if (failure != nullptr)
    {
        verdict.messages.push_back(std::string("capsule-tool: ") + failure +
                                   " (root key sha256 " +
                                   capsule::keyFingerprint(root) + ")");
    }
    return failure == nullptr;
}

// Unwraps and verifies the capsule with the updater's own code (which
// reports on standard error).
void unwrapAndVerify(const std::string& path, update::ScratchArea scratch,
                     const capsule::Bytes* root, const ImageVisitor& visit,
                     Verdict& verdict)
{
    update::BiosImageContext ctx(path, std::move(scratch));
    // Namespaces and another account are root's to give: run by a release
    // engineer's own account, xz gets what that account can set up (no new
    // privileges, the system-call filter, the limits), and only the limits
    // are required.
    if (geteuid() != 0)
    {
        ctx.requiredConfinement =
            update::confinement::bit(update::confinement::Layer::limits);
    }
    if (update::uncompressBiosCapFile(ctx) != 0)
    {
        return;
    }
    if (visit)
    {
        visit(ctx.file.get(), ctx.imageSize);
    }
    try
    {
        verdict.verified = root != nullptr ? verifyAgainst(*root, ctx, verdict)
                                           : update::verifyBiosImage(ctx);
        verdict.releaseType =
            root != nullptr ? verdict.releaseType : ctx.releaseType;
    }
    catch (const std::exception& error)
    {
        verdict.messages.push_back(std::string("capsule-tool: exception: ") +
                                   error.what());
        verdict.verified = false;
    }
}

} // namespace

std::optional<Verdict> verifyCapsule(const std::string& path,
                                     const capsule::Bytes* root,
                                     const ImageVisitor& visit)
{
    const capsule::ScratchDirectory scratch;
    if (!scratch.ready())
    {
        std::fputs("capsule-tool: cannot create a scratch directory\n", stderr);
        return std::nullopt;
    }
    StderrCapture capture;
    if (!capture.active())
    {
        std::fputs("capsule-tool: cannot capture the updater's lines\n",
                   stderr);
        return std::nullopt;
    }
    Verdict verdict;
    unwrapAndVerify(path, scratch.area(), root, visit, verdict);
    CapturedOutput captured = splitCaptured(capture.finish());
    // Whatever else was written (xz's complaints) is passed on first:
    // without the capture it would have come out before the updater's
    // lines, which are repeated only now.
    // Standard error is where a failed write would be told; it is set aside.
    static_cast<void>(std::fwrite(captured.otherOutput.data(), 1,
                                  captured.otherOutput.size(), stderr));
    std::vector<std::string>& lines = captured.updaterLines;
    lines.insert(lines.end(), verdict.messages.begin(), verdict.messages.end());
    verdict.messages = std::move(lines);
    for (const std::string& line : verdict.messages)
    {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    return verdict;
}

} // namespace capsule_tool
