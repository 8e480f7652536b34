// capsule-tool: packs raw BIOS images into capsules and inspects capsules.

#include "capsule_tool/command_line.hpp"

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
    "  inspect   print a capsule's headers and manifest and verify it\n"
    "  help      print this text (also --help; '<verb> --help' for a verb)\n"
    "\n"
    "Exit statuses:\n"
    "  0  success (inspect: the capsule verifies)\n"
    "  1  inspect: the capsule does not verify\n"
    "  2  usage error\n"
    "  3  other error (unreadable file, unusable key, write failure)\n";

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
        if (verb == "pack")
        {
            return pack(argc - 1, argv + 1);
        }
        if (verb == "inspect")
        {
            return inspect(argc - 1, argv + 1);
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
