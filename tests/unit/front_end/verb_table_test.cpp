// The verb table's lookup and the usage text's program-name substitution.

#include "front_end/verb_table.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

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

// The index of the row found for word; -1 when none is.
long found(const char* word)
{
    const Verb* row = front_end::findVerb(verbs, word);
    return row == nullptr ? -1 : row - verbs.data();
}

TEST(VerbTable, FindsTheFirstRowNamedByTheWholeWordInAnyCase)
{
    const std::array<std::pair<const char*, long>, 9> cases{{
        {"getJobStatus", 0},
        {"getjobstatus", 0},
        {"GetJobSTATUS", 0},
        {"STARTUPDATE", 2},
        {"getJobStatu", -1},
        {"getJobStatuss", -1},
        {" startUpdate", -1},
        {"startUpdate ", -1},
        {"", -1},
    }};
    for (const auto& [word, row] : cases)
    {
        EXPECT_EQ(found(word), row) << word;
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
