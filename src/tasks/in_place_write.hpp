#pragma once

// Rewriting a file in place, over its old text, without leaving it shorter
// than a whole document at any step that can fail: the room for the new
// text is secured first, and what is left of the old text behind the new
// one is blanked before the file is cut.
//
// From its first write to its last the file is not a JSON text: its first
// byte is the torn mark, synced before anything else is written, and the
// text's own first byte is written over it only once the rest is synced.
// Whatever mix of old and new blocks a power cut leaves in between keeps the
// mark, so a torn file can never be taken for a complete list.

#include <sys/types.h>

#include <optional>
#include <string_view>

namespace tasks
{

// The first byte of a file being rewritten: never the start of a JSON text.
inline constexpr char tornMark = '#';

// Writes the torn mark over the file's first byte and syncs it. Returns the
// byte it replaced (none for an empty file) so that markWhole can put it
// back if the rewrite gives up; nullopt when the mark could not be written.
[[nodiscard]] std::optional<std::optional<char>> markTorn(int fd,
                                                          off_t oldSize);

// Puts back the first byte markTorn replaced (an empty file is cut back to
// nothing) and syncs it: the old text is whole again.
[[nodiscard]] bool unmarkTorn(int fd, std::optional<char> first);

// Makes sure the file system has room for newSize bytes in fd before the
// old text (oldSize bytes) is touched. Reserves the blocks without changing
// the file's size; where the file system cannot reserve, takes the room by
// writing blanks after the old text, and gives them back when that fails.
[[nodiscard]] bool reserveSpace(int fd, off_t oldSize, off_t newSize);

// Writes text over a file markTorn has marked: all but its first byte, blanks
// over the rest of the old text, the cut to the text's size and a sync; then
// the first byte over the mark and a sync.
[[nodiscard]] bool overwrite(int fd, std::string_view text, off_t oldSize);

} // namespace tasks
