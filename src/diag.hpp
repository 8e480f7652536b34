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

#include <string>

namespace diag
{

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

// While a Capture lives, failure and information lines are collected in it
// instead of being written to standard error: tools that run the updater's
// code report its lines themselves. The updater never captures. One at a
// time.
class Capture
{
  public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    Capture(Capture&&) = delete;
    Capture& operator=(Capture&&) = delete;

    // The lines, each ended by its newline, as they would have been written.
    const std::string& text() const noexcept
    {
        return captured;
    }

    // Takes one line (the reporting functions call it).
    void add(const std::string& line)
    {
        captured += line;
    }

  private:
    std::string captured;
};

} // namespace diag
