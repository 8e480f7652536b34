// capsule-tool inspect: a capsule's headers and manifest, and whether it
// verifies. The verdict comes from the updater's own unwrapping and
// verification code, run against a private scratch area, so its verdict and
// failure lines are those the updater would give for the same capsule.

#include "capsule_tool/capsule_check.hpp"
#include "capsule_tool/command_line.hpp"
#include "capsule_tool/inspect_reading.hpp"
#include "capsule_tool/inspect_report.hpp"
#include "capsule_tool/options.hpp"
#include "capsule_tool/release_keys.hpp"
#include "handles/stdio.hpp"

#include <cstdio>
#include <filesystem>
#include <string>

namespace capsule_tool
{
namespace
{

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
