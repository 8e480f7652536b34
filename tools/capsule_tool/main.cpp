// capsule-tool: packs raw BIOS images into signed capsules, signs manifests,
// completes capsules with signatures made elsewhere, and inspects capsules.

#include "capsule_tool/command_line.hpp"

#include <array>
#include <cstdio>
#include <exception>
#include <string>

namespace
{

constexpr const char* usageText =
    "Usage: capsule-tool <verb> [options]\n"
    "\n"
    "Verbs:\n"
    "  pack      pack a raw BIOS image into a signed capsule\n"
    "  manifest  sign a manifest with the root key (the offline root)\n"
    "  digest    write what a key held elsewhere must sign\n"
    "  attach    complete a capsule or manifest with such a signature\n"
    "  inspect   print a capsule's headers and manifest and verify it\n"
    "  help      print this text (also --help; '<verb> --help' for a verb)\n"
    "\n"
    "Keys are ECDSA P-384, named by a PEM file or a pkcs11: URI (a token;\n"
    "its PIN from --pin-source env:NAME|file:PATH, an encrypted PEM's pass\n"
    "phrase from --passin env:NAME|file:PATH, never prompted for). Nothing\n"
    "is written that does not verify, with the updater's own code, against\n"
    "the trusted root key: --root-pub PEM, or the one this build embeds.\n"
    "The development keys are used only with --development-keys.\n"
    "docs/signing.md is the release engineer's guide.\n"
    "\n"
    "Exit statuses:\n"
    "  0  success (inspect: the capsule verifies)\n"
    "  1  inspect: the capsule does not verify\n"
    "  2  usage error\n"
    "  3  other error (unreadable file, unusable key, write failure)\n"
    "  4  attach: the signature does not verify (nothing written)\n"
    "  5  the result would not verify against the trusted root key\n"
    "     (nothing written)\n";

// The verbs by name.
struct Verb
{
    const char* name;
    int (*run)(int, char**);
};
constexpr std::array<Verb, 5> verbs{{
    {"pack", capsule_tool::pack},
    {"manifest", capsule_tool::manifest},
    {"digest", capsule_tool::digest},
    {"attach", capsule_tool::attach},
    {"inspect", capsule_tool::inspect},
}};

} // namespace

int main(int argc, char** argv)
{
    using namespace capsule_tool;
    if (argc < 2)
    {
        std::fputs(usageText, stderr);
        return exitUsage;
    }
    const std::string verb = argv[1];
    try
    {
        if (isHelp(verb))
        {
            std::fputs(usageText, stdout);
            return exitOk;
        }
        for (const Verb& known : verbs)
        {
            if (verb == known.name)
            {
                return known.run(argc - 1, argv + 1);
            }
        }
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "capsule-tool: %s\n", error.what());
        return exitError;
    }
    std::fprintf(stderr, "capsule-tool: unknown verb '%s'\n\n%s", verb.c_str(),
                 usageText);
    return exitUsage;
}
