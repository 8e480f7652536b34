// capsule-tool inspect: a capsule's headers and manifest, and whether it
// verifies. The verdict comes from the updater's own unwrapping and
// verification code, run against a private scratch area, so its verdict and
// failure lines are those the updater would give for the same capsule.

#include "builder/keys.hpp"
#include "builder/manifest.hpp"
#include "builder/scratch_directory.hpp"
#include "capsule/layout.hpp"
#include "capsule_tool/command_line.hpp"
#include "capsule_tool/inspect_report.hpp"
#include "diag.hpp"
#include "handles/stdio.hpp"
#include "update/bios_image_context.hpp"
#include "update/verify_image.hpp"
#include "vardex/manifest_format.hpp"

#include <getopt.h>

#include <array>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

namespace capsule_tool
{
namespace
{

using capsule::Bytes;
namespace layout = capsule::layout;

constexpr const char* inspectUsage =
    "Usage: capsule-tool inspect [--json] <capsule>\n"
    "\n"
    "Prints the capsule's UEFI header, RBU header, the decompressed image's\n"
    "RBU header, its manifest (release type, image key fingerprint) and\n"
    "signature slot, then verifies the capsule offline with the updater's\n"
    "own unwrapping (via /usr/bin/xz) and verification code. The updater's\n"
    "failure and information lines are repeated on standard error.\n"
    "\n"
    "Options:\n"
    "  --json       one JSON object on standard output instead of text\n"
    "  -h, --help   print this text\n"
    "\n"
    "Exit statuses: 0 verifies, 1 does not verify, 2 usage error,\n"
    "3 other error.\n";

// The UEFI header's fields that the report shows.
constexpr std::size_t uefiFieldsSize = 28;
constexpr std::size_t headerSizeOffset = 16;
constexpr std::size_t flagsOffset = 20;
constexpr std::size_t imageSizeOffset = 24;

// Reads up to `size` bytes at `offset`; fewer when the file is shorter.
Bytes readAt(std::FILE* file, long offset, std::size_t size)
{
    Bytes bytes(size);
    if (std::fseek(file, offset, SEEK_SET) != 0)
    {
        return {};
    }
    bytes.resize(std::fread(bytes.data(), 1, size, file));
    return bytes;
}

std::string guidText(const Bytes& bytes)
{
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(),
                  "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  layout::readLe32(bytes.data()), bytes[4] | (bytes[5] << 8),
                  bytes[6] | (bytes[7] << 8), bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text.data();
}

RbuInfo rbuInfo(const Bytes& bytes)
{
    RbuInfo info;
    if (bytes.size() >= sizeof(layout::RbuHeaderWords))
    {
        info.present = std::equal(layout::rbuMagic.begin(),
                                  layout::rbuMagic.end(), bytes.begin());
        info.length = bytes[layout::rbuLengthOffset];
    }
    return info;
}

void describeCapsule(std::FILE* file, Report& report)
{
    const Bytes head = readAt(
        file, 0, layout::uefiHeaderSize + sizeof(layout::RbuHeaderWords));
    if (head.size() >= uefiFieldsSize)
    {
        report.hasUefiHeader = true;
        report.guid = guidText(head);
        report.headerSize = layout::readLe32(head.data() + headerSizeOffset);
        report.flags = layout::readLe32(head.data() + flagsOffset);
        report.capsuleImageSize =
            layout::readLe32(head.data() + imageSizeOffset);
    }
    if (head.size() > layout::uefiHeaderSize)
    {
        report.capsuleRbu =
            rbuInfo(Bytes(head.begin() + layout::uefiHeaderSize, head.end()));
    }
}

// Reads the decompressed image's RBU header, manifest and slot (without
// verifying them: that is the updater's code's job).
void describeImage(std::FILE* image, std::uint32_t size, Report& report)
{
    report.unwrapped = true;
    report.imageSize = size;
    report.imageRbu = rbuInfo(readAt(image, 0, sizeof(layout::RbuHeaderWords)));
    if (!report.imageRbu.present)
    {
        return;
    }
    const Bytes manifest =
        readAt(image, report.imageRbu.length, vardex::format::maxManifestSize);
    if (const auto fields =
            capsule::parseManifest(manifest.data(), manifest.size()))
    {
        const Bytes key(
            manifest.begin() + static_cast<long>(fields->keyOffset),
            manifest.begin() +
                static_cast<long>(fields->keyOffset + fields->keyLength));
        report.manifest = ManifestInfo{*fields, capsule::keyFingerprint(key)};
    }
    if (size < layout::signatureSlotSize)
    {
        return;
    }
    const std::size_t signedSize = size - layout::signatureSlotSize;
    const Bytes slot = readAt(image, static_cast<long>(signedSize),
                              layout::derLengthOffset + 1);
    if (slot.size() == layout::derLengthOffset + 1)
    {
        const std::size_t front =
            report.imageRbu.length +
            (report.manifest ? report.manifest->fields.totalLength : 0);
        report.slot = SlotInfo{static_cast<unsigned>(layout::derSignatureLength(
                                   slot[layout::derLengthOffset])),
                               signedSize > front ? signedSize - front : 0};
    }
}

// The lines of a text, without their newlines; empty lines left out.
std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size())
    {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        if (end > start)
        {
            lines.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return lines;
}

// Unwraps and verifies with the updater's code, collecting its lines and
// repeating them on standard error. False when the private scratch area
// cannot be made.
bool verifyCapsule(const std::string& path, Report& report)
{
    const capsule::ScratchDirectory scratch;
    if (!scratch.ready())
    {
        return false;
    }
    const diag::Capture capture;
    {
        update::BiosImageContext ctx(path, scratch.area());
        if (update::uncompressBiosCapFile(ctx) == 0)
        {
            describeImage(ctx.file.get(), ctx.imageSize, report);
            try
            {
                report.verified = update::verifyBiosImage(ctx);
                report.releaseType = ctx.releaseType;
            }
            catch (const std::exception& error)
            {
                std::fprintf(stderr, "capsule-tool: exception: %s\n",
                             error.what());
                report.verified = false;
            }
        }
    }
    std::fputs(capture.text().c_str(), stderr);
    report.messages = linesOf(capture.text());
    return true;
}

constexpr std::array<option, 3> longOptions{{
    {"json", no_argument, nullptr, 'j'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
}};

} // namespace

int inspect(int argc, char** argv)
{
    bool json = false;
    optind = 1;
    opterr = 0;
    int code = 0;
    while ((code = getopt_long(argc, argv, "h", longOptions.data(), nullptr)) !=
           -1)
    {
        if (code == 'h')
        {
            std::fputs(inspectUsage, stdout);
            return exitOk;
        }
        if (code != 'j')
        {
            return usageError("unexpected argument", inspectUsage);
        }
        json = true;
    }
    for (int i = optind; i < argc; ++i)
    {
        if (isHelp(argv[i]))
        {
            std::fputs(inspectUsage, stdout);
            return exitOk;
        }
    }
    if (optind == argc)
    {
        return usageError("a capsule is required", inspectUsage);
    }
    if (argc - optind > 1)
    {
        return usageError("unexpected argument", inspectUsage);
    }
    const std::string path = argv[optind];
    Report report;
    {
        const FilePtr file(std::fopen(path.c_str(), "rb"));
        std::error_code error;
        report.capsuleSize = std::filesystem::file_size(path, error);
        if (!file || error)
        {
            std::fprintf(stderr, "capsule-tool: cannot read %s\n",
                         path.c_str());
            return exitError;
        }
        describeCapsule(file.get(), report);
    }
    if (!verifyCapsule(path, report))
    {
        std::fputs("capsule-tool: cannot create a scratch directory\n", stderr);
        return exitError;
    }
    json ? printJson(path, report) : printText(path, report);
    return report.verified ? exitOk : exitNotVerified;
}

} // namespace capsule_tool
