// The verb table's lookup and the usage text's program-name substitution.

#include "front_end/verb_table.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace
{

using front_end::RunContext;
using front_end::Verb;

int first(RunContext& /*context*/, char* const* /*operands*/)
{
    return 1;
}

int second(RunContext& /*context*/, char* const* /*operands*/)
{
    return 2;
}

constexpr std::array<Verb, 3> verbs{{
    {"getJobStatus", 3, first, ""},
    {"GETJOBSTATUS", 2, second, ""},
    {"startUpdate", 3, second, ""},
}};

TEST(VerbTable, FindsTheFirstRowNamedByTheWholeWordInAnyCase)
{
    const std::array<std::pair<const char*, const Verb*>, 9> cases{{
        {"getJobStatus", &verbs[0]},
        {"getjobstatus", &verbs[0]},
        {"GetJobSTATUS", &verbs[0]},
        {"STARTUPDATE", &verbs[2]},
        {"getJobStatu", nullptr},
        {"getJobStatuss", nullptr},
        {" startUpdate", nullptr},
        {"startUpdate ", nullptr},
        {"", nullptr},
    }};
    for (const auto& [word, row] : cases)
    {
        EXPECT_EQ(front_end::findVerb(verbs, word), row) << word;
    }
}

// The usage text as writeUsage writes it for program.
std::string usage(const char* text, const char* program)
{
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&buffer, &size);
    front_end::writeUsage(out, text, program);
    std::fclose(out);
    std::string written(buffer, size);
    std::free(buffer); // NOLINT(*-no-malloc,*-owning-memory)
    return written;
}

TEST(VerbTable, UsageTextNamesTheProgramForEveryMarkAndNothingElse)
{
    EXPECT_EQ(usage("\n%s x <Id>\n\t\tExample: %s  x 1\n", "tool"),
              "\ntool x <Id>\n\t\tExample: tool  x 1\n");
    EXPECT_EQ(usage("%s%s", "a%sb"), "a%sba%sb");
    EXPECT_EQ(usage("%d 100%\n", "p"), "%d 100%\n");
    EXPECT_EQ(usage("", "p"), "");
}

} // namespace
