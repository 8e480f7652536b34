#pragma once

// The sub-commands as a table: a new sub-command is one row and one handler.
//
//   constexpr std::array<front_end::Verb, 2> verbs{{
//       {"startUpdate", 3, runStartUpdate, "\n%s startUpdate <Version Id>\n"},
//       ...
//   }};

#include "front_end/run_context.hpp"

#include <cstdio>
#include <span>

namespace front_end
{

struct Verb
{
    // Selects the row: the whole word, letter case ignored.
    const char* name;
    // Command-line words the sub-command takes, the program's name and the
    // sub-command's included; any other count prints the usage text.
    int words;
    // Runs the sub-command on its operands (the words after its name) and
    // returns the exit status.
    int (*run)(RunContext& context, char* const* operands);
    // Its part of the usage text, each "%s" standing for the program's name.
    const char* usage;
};

// The first row whose name is the word, letter case ignored; null when none
// is.
[[nodiscard]] const Verb* findVerb(std::span<const Verb> verbs,
                                   const char* word);

// Writes a usage text to out with every "%s" replaced by the program's name.
void writeUsage(std::FILE* out, const char* text, const char* program);

} // namespace front_end
