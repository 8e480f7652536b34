#pragma once

// Diagnostic output of the updater.
//
// Failure and information lines go to standard error as
//   "BIOSIMG_DBG_FAIL: <function>.<number>: <message>\n"
//   "BIOSIMG_DBG_INFO: <function>.<number>: <message>\n"
// The function name and number are part of the output contract that calling
// services parse; every line is declared once, with both, in the catalogue
// (diag/lines.hpp), and a report site names its line:
//
//   diag::fail(lines::payloadNotCopied, e.what());
//
// Milestones ("::: ...") go to standard output and are flushed at once.

#include "diag/lines.hpp"

#include <type_traits>

namespace diag
{

// How failure and information lines begin: what a program reading the
// updater's standard error looks for.
inline constexpr const char* failPrefix = "BIOSIMG_DBG_FAIL: ";
inline constexpr const char* infoPrefix = "BIOSIMG_DBG_INFO: ";

// Writes the line with its text formatted with the arguments (C strings
// and ints, as the line declares), without a check of its own: the caller
// passes the types the line was checked against.
void print(const Entry* line, ...);

// Writes a failure line; the first of a run is noted in its audit record.
template <typename... Args>
void fail(const Fail<Args...>& line, std::type_identity_t<Args>... args)
{
    print(&line, args...);
}

template <typename... Args>
void info(const Line<Kind::info, Args...>& line,
          std::type_identity_t<Args>... args)
{
    print(&line, args...);
}

// Writes the text and a newline on standard output, then flushes it.
void milestone(const char* text);

} // namespace diag
