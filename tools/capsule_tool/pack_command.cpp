// capsule-tool pack: a raw BIOS image into a signed capsule.

#include "builder/capsule_image.hpp"
#include "builder/manifest.hpp"
#include "capsule_tool/command_line.hpp"

#include <getopt.h>

#include <array>
#include <optional>
#include <string>

namespace capsule_tool
{
namespace
{

constexpr const char* packUsage =
    "Usage: capsule-tool pack [options] <raw image> -o <capsule>\n"
    "\n"
    "Builds the image (RBU header + firmware manifest + raw image + 104-byte\n"
    "signature slot), compresses it with LZMA and wraps it in a UEFI capsule\n"
    "header and an RBU header. The raw image is streamed, never held whole.\n"
    "\n"
    "Options:\n"
    "  -o, --output PATH          capsule to write (required)\n"
    "  --image-key PEM            image-signing private key (ECDSA P-384)\n"
    "  --root-key PEM             manifest root-of-trust private key\n"
    "                             (both default to the DEVELOPMENT keys in\n"
    "                             keys/development/: never for production)\n"
    "  --release-type N           release type byte 0..255 (default 2,\n"
    "                             production; 0 means none)\n"
    "  --image-rbu-length N       image RBU header length byte (default 16)\n"
    "  --capsule-rbu-length N     capsule RBU header length byte (default 16)\n"
    "  --preset N                 LZMA preset 0..9 (default 6)\n"
    "  -h, --help                 print this text\n"
    "\n"
    "Exit statuses: 0 written, 2 usage error, 3 other error.\n";

struct PackOptions
{
    std::string input;
    std::string output;
    std::string imageKey = capsule::developmentImageKeyPath();
    std::string rootKey = capsule::developmentRootKeyPath();
    unsigned releaseType = 2;
    capsule::ImageLayout image;
    capsule::CapsuleLayout capsule;
};

// The long options without a short form.
enum LongOption : int
{
    imageKeyOption = 256,
    rootKeyOption,
    releaseTypeOption,
    imageRbuLengthOption,
    capsuleRbuLengthOption,
    presetOption,
};

constexpr std::array<option, 9> longOptions{{
    {"output", required_argument, nullptr, 'o'},
    {"image-key", required_argument, nullptr, imageKeyOption},
    {"root-key", required_argument, nullptr, rootKeyOption},
    {"release-type", required_argument, nullptr, releaseTypeOption},
    {"image-rbu-length", required_argument, nullptr, imageRbuLengthOption},
    {"capsule-rbu-length", required_argument, nullptr, capsuleRbuLengthOption},
    {"preset", required_argument, nullptr, presetOption},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
}};

// Takes one option's value; false when the value is not acceptable.
bool takeOption(int code, const std::string& value, PackOptions& options)
{
    switch (code)
    {
        case 'o':
            options.output = value;
            return true;
        case imageKeyOption:
            options.imageKey = value;
            return true;
        case rootKeyOption:
            options.rootKey = value;
            return true;
        default:
            break;
    }
    const std::optional<unsigned> number =
        parseNumber(value, code == presetOption ? 9 : 255);
    if (!number)
    {
        return false;
    }
    switch (code)
    {
        case releaseTypeOption:
            options.releaseType = *number;
            return true;
        case imageRbuLengthOption:
            options.image.rbuHeaderLength = static_cast<std::uint8_t>(*number);
            return true;
        case capsuleRbuLengthOption:
            options.capsule.rbuHeaderLength =
                static_cast<std::uint8_t>(*number);
            return true;
        case presetOption:
            options.capsule.compressionPreset = *number;
            return true;
        default:
            return false;
    }
}

// Parses pack's words; nullopt once help was printed or a usage error
// reported, with the exit status in `status`.
std::optional<PackOptions> parsePackOptions(int argc, char** argv, int& status)
{
    PackOptions options;
    optind = 1;
    opterr = 0;
    int code = 0;
    while ((code = getopt_long(argc, argv, ":o:h", longOptions.data(),
                               nullptr)) != -1)
    {
        if (code == 'h')
        {
            std::fputs(packUsage, stdout);
            status = exitOk;
            return std::nullopt;
        }
        if (code == ':')
        {
            status = usageError("option needs a value", packUsage);
            return std::nullopt;
        }
        if (code == '?' || !takeOption(code, optarg, options))
        {
            status = usageError("unknown option or bad value", packUsage);
            return std::nullopt;
        }
    }
    for (int i = optind; i < argc; ++i)
    {
        if (isHelp(argv[i]))
        {
            std::fputs(packUsage, stdout);
            status = exitOk;
            return std::nullopt;
        }
    }
    if (argc - optind > 1)
    {
        status = usageError("more than one raw image", packUsage);
        return std::nullopt;
    }
    if (optind == argc || options.output.empty())
    {
        status =
            usageError("a raw image and -o <capsule> are required", packUsage);
        return std::nullopt;
    }
    options.input = argv[optind];
    return options;
}

} // namespace

int pack(int argc, char** argv)
{
    int status = exitOk;
    const std::optional<PackOptions> options =
        parsePackOptions(argc, argv, status);
    if (!options)
    {
        return status;
    }
    const capsule::Key imageKey = capsule::loadPrivateKey(options->imageKey);
    const capsule::Key rootKey = capsule::loadPrivateKey(options->rootKey);
    if (!imageKey || !rootKey)
    {
        std::fprintf(stderr, "capsule-tool: cannot load key %s\n",
                     imageKey ? options->rootKey.c_str()
                              : options->imageKey.c_str());
        return exitError;
    }
    const capsule::Bytes manifest = capsule::buildManifest(
        rootKey, imageKey, static_cast<std::uint8_t>(options->releaseType));
    if (manifest.empty())
    {
        std::fputs("capsule-tool: cannot build the manifest with these keys\n",
                   stderr);
        return exitError;
    }
    if (!capsule::packFile(options->input, manifest, imageKey, options->output,
                           options->image, options->capsule))
    {
        std::fprintf(stderr, "capsule-tool: cannot pack %s into %s\n",
                     options->input.c_str(), options->output.c_str());
        return exitError;
    }
    return exitOk;
}

} // namespace capsule_tool
