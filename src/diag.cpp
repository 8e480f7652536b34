#include "diag.hpp"

#include "audit/audit_record.hpp"

#include <cstdarg>
#include <cstdio>

namespace diag
{
namespace
{

void report(const char* prefix, const char* function, int number,
            const char* format, va_list args)
{
    std::fprintf(stderr, "%s%s.%d: ", prefix, function, number);
    // The analyzer does not see the va_start in fail and info, the only
    // callers.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

} // namespace

// The report sites pass printf formats that the compiler checks against
// their arguments (the format attribute in diag.hpp); a parameter pack would
// give that check up.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void fail(const char* function, int number, const char* format, ...)
{
    audit::noteFailureLine(function, number);
    va_list args;
    va_start(args, format);
    report(failPrefix, function, number, format, args);
    va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-checked, as fail above.
void info(const char* function, int number, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    report(infoPrefix, function, number, format, args);
    va_end(args);
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
