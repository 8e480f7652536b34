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
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

} // namespace

void fail(const char* function, int number, const char* format, ...)
{
    audit::noteFailureLine(function, number);
    va_list args;
    va_start(args, format);
    report(failPrefix, function, number, format, args);
    va_end(args);
}

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
    std::fflush(stdout);
}

} // namespace diag
