#pragma once

// Rewriting a file in place, over its old text, without leaving it shorter
// than a whole document at any step that can fail: the room for the new
// text is secured first, and what is left of the old text behind the new
// one is blanked before the file is cut.

#include <sys/types.h>

#include <string_view>

namespace tasks
{

// Makes sure the file system has room for newSize bytes in fd before the
// old text (oldSize bytes) is touched. Reserves the blocks without changing
// the file's size; where the file system cannot reserve, takes the room by
// writing blanks after the old text, and gives them back when that fails.
[[nodiscard]] bool reserveSpace(int fd, off_t oldSize, off_t newSize);

// Writes text over fd from its start, blanks over the rest of the old text
// (so that the file reads as a whole document even if the cut fails: a
// reader skips white space after the root), cuts the file to the text's
// size and syncs it.
[[nodiscard]] bool overwrite(int fd, std::string_view text, off_t oldSize);

} // namespace tasks
