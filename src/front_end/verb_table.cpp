#include "front_end/verb_table.hpp"

#include <strings.h>

#include <algorithm>
#include <string_view>

namespace front_end
{

const Verb* findVerb(std::span<const Verb> verbs, const char* word)
{
    const auto verb = std::ranges::find_if(verbs, [word](const Verb& row) {
        return strcasecmp(word, row.name) == 0;
    });
    return verb != verbs.end() ? &*verb : nullptr;
}

// The usage text goes to standard output, where a failed write has no one
// left to tell: the writes' results are set aside.
void writeUsage(std::FILE* out, const char* text, const char* program)
{
    constexpr std::string_view programMark = "%s";
    std::string_view rest = text;
    for (auto mark = rest.find(programMark); mark != std::string_view::npos;
         mark = rest.find(programMark))
    {
        static_cast<void>(std::fwrite(rest.data(), 1, mark, out));
        std::fputs(program, out);
        rest.remove_prefix(mark + programMark.size());
    }
    static_cast<void>(std::fwrite(rest.data(), 1, rest.size(), out));
}

} // namespace front_end
