#include "capsule_tool/options.hpp"

#include "capsule_tool/command_line.hpp"

#include <getopt.h>

#include <algorithm>
#include <array>

namespace capsule_tool
{
namespace
{

// getopt_long's code of an option: its index past the single-byte codes.
constexpr int firstCode = 256;
constexpr int helpCode = 'h';

constexpr int code(Option option)
{
    return firstCode + static_cast<int>(option);
}

constexpr std::array<option, 17> longOptions{{
    {"output", required_argument, nullptr, code(Option::output)},
    {"root-key", required_argument, nullptr, code(Option::rootKey)},
    {"image-key", required_argument, nullptr, code(Option::imageKey)},
    {"root-pub", required_argument, nullptr, code(Option::rootPub)},
    {"image-pub", required_argument, nullptr, code(Option::imagePub)},
    {"manifest", required_argument, nullptr, code(Option::manifest)},
    {"signature", required_argument, nullptr, code(Option::signature)},
    {"pin-source", required_argument, nullptr, code(Option::pinSource)},
    {"passin", required_argument, nullptr, code(Option::passin)},
    {"development-keys", no_argument, nullptr, code(Option::developmentKeys)},
    {"release-type", required_argument, nullptr, code(Option::releaseType)},
    {"image-rbu-length", required_argument, nullptr,
     code(Option::imageRbuLength)},
    {"capsule-rbu-length", required_argument, nullptr,
     code(Option::capsuleRbuLength)},
    {"preset", required_argument, nullptr, code(Option::preset)},
    {"json", no_argument, nullptr, code(Option::json)},
    {"help", no_argument, nullptr, helpCode},
    {nullptr, 0, nullptr, 0},
}};

// Takes a number option's value; false when it is out of range.
bool takeNumber(Option option, const std::string& value, Options& options)
{
    const std::optional<unsigned> number =
        parseNumber(value, option == Option::preset ? 9 : 255);
    if (!number)
    {
        return false;
    }
    const auto byte = static_cast<std::uint8_t>(*number);
    switch (option)
    {
        case Option::releaseType:
            options.releaseType = *number;
            break;
        case Option::imageRbuLength:
            options.image.rbuHeaderLength = byte;
            break;
        case Option::capsuleRbuLength:
            options.capsule.rbuHeaderLength = byte;
            break;
        default:
            options.capsule.compressionPreset = *number;
            break;
    }
    return true;
}

// Takes one option's value; false when the value is not acceptable.
bool takeOption(Option option, const char* value, Options& options)
{
    // The text options, in the order of Option.
    const std::array<std::string*, 9> texts = {
        &options.output,    &options.rootKey,     &options.imageKey,
        &options.rootPub,   &options.imagePub,    &options.manifest,
        &options.signature, &options.secrets.pin, &options.secrets.passin,
    };
    const auto index = static_cast<std::size_t>(option);
    if (index < texts.size())
    {
        *texts[index] = value;
        return !texts[index]->empty();
    }
    if (option == Option::developmentKeys || option == Option::json)
    {
        (option == Option::json ? options.json : options.developmentKeys) =
            true;
        return true;
    }
    return takeNumber(option, value, options);
}

bool helpAsked(int argc, char** argv)
{
    return std::any_of(argv + optind, argv + argc,
                       [](const char* word) { return isHelp(word); });
}

} // namespace

bool Options::has(Option option) const
{
    return std::find(given.begin(), given.end(), option) != given.end();
}

std::optional<Options> parseOptions(int argc, char** argv,
                                    const std::vector<Option>& allowed,
                                    std::size_t maxOperands, const char* usage,
                                    int& status)
{
    Options options;
    optind = 1;
    opterr = 0;
    int found = 0;
    while ((found = getopt_long(argc, argv, ":o:h", longOptions.data(),
                                nullptr)) != -1)
    {
        if (found == helpCode)
        {
            std::fputs(usage, stdout);
            status = exitOk;
            return std::nullopt;
        }
        if (found == ':')
        {
            status = usageError("option needs a value", usage);
            return std::nullopt;
        }
        const auto option = static_cast<Option>(
            (found == 'o' ? code(Option::output) : found) - firstCode);
        if (found == '?' ||
            std::find(allowed.begin(), allowed.end(), option) ==
                allowed.end() ||
            !takeOption(option, optarg, options))
        {
            status = usageError("unknown option or bad value", usage);
            return std::nullopt;
        }
        options.given.push_back(option);
    }
    if (helpAsked(argc, argv))
    {
        std::fputs(usage, stdout);
        status = exitOk;
        return std::nullopt;
    }
    options.operands.assign(argv + optind, argv + argc);
    if (options.operands.size() > maxOperands)
    {
        status = usageError("unexpected argument", usage);
        return std::nullopt;
    }
    return options;
}

} // namespace capsule_tool
