#include "diag.hpp"

#include "audit/audit_record.hpp"

#include <cstdarg>
#include <cstdio>

namespace diag
{

// The arguments are those the line's text was checked against when it was
// declared (diag/line.hpp); the typed fail and info are the only callers.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void print(const Entry* line, ...)
{
    if (line->kind == Kind::fail)
    {
        audit::noteFailureLine(*line);
    }
    std::fprintf(
        stderr, "%s%s.%d: ", line->kind == Kind::fail ? failPrefix : infoPrefix,
        line->function, line->number);
    va_list args;
    va_start(args, line);
    // The analyzer loses the va_start above when it follows the call in
    // from a caller.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    std::vfprintf(stderr, line->text, args);
    va_end(args);
    std::fputc('\n', stderr);
}

void milestone(const char* text)
{
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    // Standard output is where a failed flush would be told; it is set
    // aside.
    static_cast<void>(std::fflush(stdout));
}

} // namespace diag
