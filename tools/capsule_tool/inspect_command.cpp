// capsule-tool inspect: a capsule's headers and manifest, and whether it
// verifies. The verdict comes from the updater's own unwrapping and
// verification code, run against a private scratch area, so its verdict and
// failure lines are those the updater would give for the same capsule.

#include "builder/keys.hpp"
#include "builder/manifest.hpp"
#include "capsule/layout.hpp"
#include "capsule_tool/capsule_check.hpp"
#include "capsule_tool/command_line.hpp"
#include "capsule_tool/inspect_report.hpp"
#include "capsule_tool/options.hpp"
#include "capsule_tool/release_keys.hpp"
#include "handles/stdio.hpp"
#include "vardex/manifest_format.hpp"

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

namespace capsule_tool
{
namespace
{

namespace layout = capsule::layout;
namespace uefi = capsule::layout::uefi;

constexpr const char* inspectUsage =
    "Usage: capsule-tool inspect [--json] [--root-pub PEM] <capsule>\n"
    "\n"
    "Prints the capsule's UEFI header, RBU header, the decompressed image's\n"
    "RBU header, its manifest (release type, SHA-256 fingerprints of the\n"
    "image key and of the root key that verifies it, \"development root\n"
    "key\" for that one) and signature slot, then verifies the capsule\n"
    "offline with the updater's own unwrapping (via /usr/bin/xz) and\n"
    "verification code. The updater's failure and information lines are\n"
    "repeated on standard error.\n"
    "\n"
    "Options:\n"
    "  --json          one JSON object on standard output instead of text\n"
    "  --root-pub PEM  verify against this root public key instead of the\n"
    "                  one built into this build's manifest library\n"
    "  -h, --help      print this text\n"
    "\n"
    "Exit statuses: 0 verifies, 1 does not verify, 2 usage error,\n"
    "3 other error.\n";

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
    if (head.size() >= uefi::fieldsEnd)
    {
        report.hasUefiHeader = true;
        report.guid = guidText(head);
        report.headerSize =
            layout::readLe32(head.data() + uefi::headerSizeOffset);
        report.flags = layout::readLe32(head.data() + uefi::flagsOffset);
        report.capsuleImageSize =
            layout::readLe32(head.data() + uefi::imageSizeOffset);
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
        report.manifest = ManifestInfo{
            *fields, capsule::keyFingerprint(key),
            Bytes(manifest.begin(),
                  manifest.begin() + static_cast<long>(fields->totalLength)),
            std::nullopt};
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

// Which root key verifies the manifest: the trusted one, else the
// development one.
void identifyRoot(const Bytes& trusted, Report& report)
{
    const Bytes development = capsule::developmentRootDer();
    for (const Bytes* root : {&trusted, &development})
    {
        if (report.manifest && manifestVerifies(report.manifest->bytes, *root))
        {
            report.manifest->root =
                RootInfo{capsule::keyFingerprint(*root),
                         isDevelopmentRoot(*root), root == &trusted};
            return;
        }
    }
}

} // namespace

int inspect(int argc, char** argv)
{
    int status = exitOk;
    const std::optional<Options> options = parseOptions(
        argc, argv, {Option::json, Option::rootPub}, 1, inspectUsage, status);
    if (!options)
    {
        return status;
    }
    if (options->operands.empty())
    {
        return usageError("a capsule is required", inspectUsage);
    }
    const std::optional<Bytes> trusted = trustedRoot(*options);
    if (!trusted)
    {
        return exitError;
    }
    const std::string& path = options->operands.front();
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
    const std::optional<Verdict> verdict =
        verifyCapsule(path, options->rootPub.empty() ? nullptr : &*trusted,
                      [&report](std::FILE* image, std::uint32_t size) {
                          describeImage(image, size, report);
                      });
    if (!verdict)
    {
        return exitError;
    }
    report.verified = verdict->verified;
    report.releaseType = verdict->releaseType;
    report.messages = verdict->messages;
    identifyRoot(*trusted, report);
    options->json ? printJson(path, report) : printText(path, report);
    return report.verified ? exitOk : exitNotVerified;
}

} // namespace capsule_tool
