#pragma once

// Diagnostic output of the updater.
//
// Failure and information lines go to standard error as
//   "BIOSIMG_DBG_FAIL: <function>.<number>: <message>\n"
//   "BIOSIMG_DBG_INFO: <function>.<number>: <message>\n"
// The function name and number are part of the output contract that calling
// services parse, so every report site passes both explicitly.
//
// Milestones ("::: ...") go to standard output and are flushed at once.

namespace diag
{

void fail(const char* function, int number, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void info(const char* function, int number, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes the text and a newline on standard output, then flushes it.
void milestone(const char* text);

} // namespace diag
