#pragma once

// The one copy of a capsule that an update verifies and stages.
//
// The payload entry is opened once (no symbolic link followed, never waiting
// on a FIFO or device) and, if it is a regular file, copied once into an
// unnamed file (O_TMPFILE) that no other process can reach by name. Its
// SHA-512 is computed while copying. Unwrapping reads the capsule from that
// copy and staging publishes that same copy under its final name: whatever
// happens to the payload entry after the copy, the bytes staged are the
// bytes verified.

#include "handles/fd.hpp"
#include "handles/stdio.hpp"

#include <string>
#include <system_error>
#include <vector>

namespace update
{

class CapsuleSnapshot
{
  public:
    // Copies the payload entry at payloadPath into an unnamed file in the
    // first of privateDirectories that takes it whole (the staging file
    // system's first, so that publishing needs no second copy). Not valid()
    // when the entry is not a regular file or cannot be read, or no
    // directory has room.
    CapsuleSnapshot(const std::string& payloadPath,
                    const std::vector<std::string>& privateDirectories);

    bool valid() const noexcept;

    // A new read stream on the copy, at its start; null when not valid() or
    // when no stream can be made.
    FilePtr openStream() const;

    // Lowercase hexadecimal SHA-512 of the copy: the identity of what is
    // staged. Empty when not valid().
    const std::string& sha512Hex() const noexcept;

    // Makes the copy appear complete under directory/name, owner the
    // updater, mode 0644: synced, then linked into place, then the directory
    // synced. A copy on another file system is first copied into an unnamed
    // file in directory. Nothing appears at the name on a failure, which is
    // returned; an existing name is an error (EEXIST).
    std::error_code publish(const std::string& directory,
                            const std::string& name) const;

  private:
    UniqueFd copy;
    std::string digest;
};

} // namespace update
