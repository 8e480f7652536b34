#pragma once

// The text of the task list's intent copy: a first line naming what the list
// held before the write it stands for ("prior <digest>\n"), then the list's
// next text, a JSON object.

#include <optional>
#include <string>
#include <string_view>

namespace tasks
{

// An intent copy taken apart; both views point into the copy's text.
struct IntentCopy
{
    std::string_view prior;
    std::string_view text;
};

// The copy's text for the list's next text; an empty prior (not known) is
// written as "unknown".
[[nodiscard]] std::string formatIntentCopy(std::string_view text,
                                           std::string_view prior);

// The copy's first line, with its newline: what formatIntentCopy writes
// before the text, for a writer that writes the text straight after it.
[[nodiscard]] std::string intentCopyHead(std::string_view prior);

// The parts of a copy's text; nullopt when it is not what formatIntentCopy
// writes for a list: no first line beginning "prior ", or no text after it
// that begins with '{' and ends with '}'.
[[nodiscard]] std::optional<IntentCopy> parseIntentCopy(std::string_view copy);

} // namespace tasks
