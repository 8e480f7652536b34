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

// How failure and information lines begin: what a program reading the
// updater's standard error looks for.
inline constexpr const char* failPrefix = "BIOSIMG_DBG_FAIL: ";
inline constexpr const char* infoPrefix = "BIOSIMG_DBG_INFO: ";

// What every function that writes an event log reports when the event-log
// library throws.
inline constexpr const char* eventLogFailedFormat =
    "Exception writing an event log: %s";

void fail(const char* function, int number, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void info(const char* function, int number, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes the text and a newline on standard output, then flushes it.
void milestone(const char* text);

} // namespace diag
