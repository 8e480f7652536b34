#pragma once

// What the updater's code writes on standard error while the capsule tool
// runs it: its failure and information lines, which the tool reports as
// its own, and whatever else (xz's complaints), which the tool passes on.

#include "handles/fd.hpp"

#include <string>
#include <vector>

namespace capsule_tool
{

// While the object lives, descriptor 2 (and so the updater's lines and
// the children it starts) writes into an anonymous memory file; the
// descriptor is restored by finish() or, on any other way out, by the
// destructor. One at a time.
class StderrCapture
{
  public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    StderrCapture(StderrCapture&&) = delete;
    StderrCapture& operator=(StderrCapture&&) = delete;

    // False when nothing is being captured (no memory file or descriptor
    // to spare): standard error was left as it was.
    bool active() const noexcept
    {
        return saved.valid();
    }

    // Restores standard error and returns what was written meanwhile.
    std::string finish();

  private:
    void restore() noexcept;

    UniqueFd memory;
    UniqueFd saved;
};

// Captured text taken apart: the updater's lines, without their newlines,
// and everything else as it was written.
struct CapturedOutput
{
    std::vector<std::string> updaterLines;
    std::string otherOutput;
};

CapturedOutput splitCaptured(const std::string& text);

} // namespace capsule_tool
