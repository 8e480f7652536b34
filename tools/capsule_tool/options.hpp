#pragma once

// The options of the capsule tool's verbs, parsed in one place: each verb
// names the options it takes, and its usage text.

#include "builder/capsule_image.hpp"
#include "builder/key_source.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace capsule_tool
{

// The options, in the order of longOptions in options.cpp.
enum class Option
{
    output,
    rootKey,
    imageKey,
    rootPub,
    imagePub,
    manifest,
    signature,
    pinSource,
    passin,
    developmentKeys,
    releaseType,
    imageRbuLength,
    capsuleRbuLength,
    preset,
    json,
};

struct Options
{
    std::vector<Option> given;
    std::vector<std::string> operands;
    std::string output;
    std::string rootKey;
    std::string imageKey;
    std::string rootPub;
    std::string imagePub;
    std::string manifest;
    std::string signature;
    capsule::SecretSources secrets;
    bool developmentKeys = false;
    bool json = false;
    unsigned releaseType = 2;
    capsule::ImageLayout image;
    capsule::CapsuleLayout capsule;

    bool has(Option option) const;
};

// Parses a verb's words (argv[0] is the verb). nullopt once help was printed
// or a usage error reported, with the exit status in `status`. Options not
// in `allowed`, and more operands than `maxOperands`, are usage errors.
std::optional<Options> parseOptions(int argc, char** argv,
                                    const std::vector<Option>& allowed,
                                    std::size_t maxOperands, const char* usage,
                                    int& status);

} // namespace capsule_tool
