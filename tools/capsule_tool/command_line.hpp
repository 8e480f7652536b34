#pragma once

// What the capsule tool's verbs share: exit statuses, help words, number
// operands and usage errors.

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace capsule_tool
{

constexpr int exitOk = 0;
// inspect: the capsule does not verify.
constexpr int exitNotVerified = 1;
constexpr int exitUsage = 2;
// An unreadable file, an unusable key, a failed write.
constexpr int exitError = 3;
// attach: the signature does not verify; nothing written.
constexpr int exitBadSignature = 4;
// The result would not verify against the trusted root key (or the keys
// would make one that could not); nothing written.
constexpr int exitWouldNotVerify = 5;

inline bool isHelp(std::string_view word)
{
    return word == "-h" || word == "--help" || word == "help";
}

// A decimal number of at most three digits, up to max.
inline std::optional<unsigned> parseNumber(const std::string& text,
                                           unsigned max)
{
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos)
    {
        return std::nullopt;
    }
    const auto value = static_cast<unsigned>(std::stoul(text));
    if (value > max)
    {
        return std::nullopt;
    }
    return value;
}

// Reports a usage error followed by the verb's usage text.
inline int usageError(const char* message, const char* usage)
{
    std::fprintf(stderr, "capsule-tool: %s\n\n%s", message, usage);
    return exitUsage;
}

// The verbs: argv[0] is the verb itself.
int pack(int argc, char** argv);
int manifest(int argc, char** argv);
int digest(int argc, char** argv);
int attach(int argc, char** argv);
int inspect(int argc, char** argv);

} // namespace capsule_tool
