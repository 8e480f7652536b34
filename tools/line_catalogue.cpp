// Prints the catalogue of diagnostic lines (src/diag/lines.hpp) for the
// documentation checks, one record a line, fields separated by tabs:
//
//   line  <BIOSIMG_DBG_FAIL|BIOSIMG_DBG_INFO>  <function>  <number>  <cause>
//         <text, a newline in it written as \n>
//   cause <name>
//   other <text>          (milestones, reader complaints, perror texts)

#include "diag.hpp"

#include <cstdio>
#include <string>

namespace
{

std::string escaped(const char* text)
{
    std::string out;
    for (; *text != '\0'; ++text)
    {
        out += *text == '\n' ? std::string("\\n") : std::string(1, *text);
    }
    return out;
}

const char* prefixOf(const diag::Entry& line)
{
    return line.kind == diag::Kind::fail ? "BIOSIMG_DBG_FAIL"
                                         : "BIOSIMG_DBG_INFO";
}

} // namespace

int main()
{
    for (const diag::Entry* line : lines::all)
    {
        std::printf("line\t%s\t%s\t%d\t%s\t%s\n", prefixOf(*line),
                    line->function, line->number, diag::causeName(line->cause),
                    escaped(line->text).c_str());
    }
    for (const diag::Cause cause : diag::causes)
    {
        std::printf("cause\t%s\n", diag::causeName(cause));
    }
    for (const char* text : lines::otherOutput)
    {
        std::printf("other\t%s\n", text);
    }
    return 0;
}
