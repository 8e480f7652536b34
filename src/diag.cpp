#include "diag.hpp"

#include "audit/audit_record.hpp"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace diag
{
namespace
{

// The capture in effect, if any.
Capture* capturing = nullptr;

// The line as it is written to standard error.
std::string formatLine(const char* prefix, const char* function, int number,
                       const char* format, va_list args)
{
    va_list measuring;
    va_copy(measuring, args);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    std::vector<char> message(length > 0 ? length + 1 : 1, '\0');
    std::vsnprintf(message.data(), message.size(), format, args);
    return std::string(prefix) + ": " + function + "." +
           std::to_string(number) + ": " + message.data() + "\n";
}

void report(const char* prefix, const char* function, int number,
            const char* format, va_list args)
{
    if (capturing != nullptr)
    {
        capturing->add(formatLine(prefix, function, number, format, args));
        return;
    }
    std::fprintf(stderr, "%s: %s.%d: ", prefix, function, number);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

} // namespace

Capture::Capture()
{
    capturing = this;
}

Capture::~Capture()
{
    capturing = nullptr;
}

void fail(const char* function, int number, const char* format, ...)
{
    audit::noteFailureLine(function, number);
    va_list args;
    va_start(args, format);
    report("BIOSIMG_DBG_FAIL", function, number, format, args);
    va_end(args);
}

void info(const char* function, int number, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    report("BIOSIMG_DBG_INFO", function, number, format, args);
    va_end(args);
}

void milestone(const char* text)
{
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace diag
