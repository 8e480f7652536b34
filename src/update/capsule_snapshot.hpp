#pragma once

// The one copy of a capsule that an update verifies and stages.
//
// The payload entry is opened once (no symbolic link followed, never waiting
// on a FIFO or device) and, if it is a regular file, copied once into an
// unnamed file (O_TMPFILE) that no other process can reach by name; where
// the file system has no unnamed files, into a file of an unpredictable name
// in a directory of its own that only the updater can enter, both removed
// when the snapshot ends. The same read can copy the capsule's compressed
// body out for unwrapping. Its SHA-512, the identity of what is staged, is
// taken from the copy itself, a piece at a time while the decompressor runs
// (digestSome), and finished when it is first asked for.
//
// The copy takes at most a capsule's worth: the headers, and the compressed
// body of the largest image the updater accepts. It stops there, and after
// the first block when that block does not hold the capsule's RBU header; a
// copy cut short still unwraps (and fails there, with the unwrapping's own
// lines) but is never published. Unwrapping reads the capsule from that
// copy and staging publishes that same copy under its final name: whatever
// happens to the payload entry after the copy, the bytes staged are the
// bytes verified.

#include "handles/fd.hpp"
#include "handles/stdio.hpp"
#include "update/background_call.hpp"
#include "update/bios_image_context.hpp"
#include "update/sha512.hpp"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
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
    // directory has room. With body, the same read also copies the
    // capsule's compressed body into an unnamed file in bodyDirectory, when
    // the copy goes to the first directory and every step of that works;
    // body stays empty otherwise.
    CapsuleSnapshot(const std::string& payloadPath,
                    const std::vector<std::string>& privateDirectories,
                    CompressedBody* body = nullptr,
                    const std::string& bodyDirectory = {});

    ~CapsuleSnapshot();
    CapsuleSnapshot(const CapsuleSnapshot&) = delete;
    CapsuleSnapshot& operator=(const CapsuleSnapshot&) = delete;
    CapsuleSnapshot(CapsuleSnapshot&&) = delete;
    CapsuleSnapshot& operator=(CapsuleSnapshot&&) = delete;

    bool valid() const noexcept;

    // Why the payload, a regular file that could be read, was not copied:
    // each directory tried and the system's error text ("/tmp: No space
    // left on device; ..."). Empty when it was copied, and when the payload
    // itself could not be opened (a capsule that is not there).
    const std::string& failure() const noexcept;

    // A new read stream on the copy, at its start; null when not valid() or
    // when no stream can be made.
    FilePtr openStream() const;

    // Makes the copy durable on a thread of its own while the update goes
    // on, once: the data, and with it the file system's record of its
    // blocks, which a later sync of any directory would otherwise have to
    // commit. Publishing then waits for little or nothing; without a
    // thread, it syncs it all.
    void startWriteBack() const;

    // Feeds the next piece of the copy to its digest; true while pieces
    // remain.
    bool digestSome() const;

    // Lowercase hexadecimal SHA-512 of the copy: the identity of what is
    // staged. Empty when not valid(), or when the digest failed.
    const std::string& sha512Hex() const;

    // Makes the copy appear complete under directory/name, owner the
    // updater, mode 0644: its write-back waited for and checked, synced,
    // then linked into place, then the directory synced. A copy on another
    // file system is first copied into an unnamed file in directory.
    // Nothing appears at the name on a failure, which is returned (also
    // that of the write-back); an existing name is an error (EEXIST), a
    // copy cut short too (EFBIG), and so is a copy whose digest failed
    // (EIO): nothing is staged without its identity.
    std::error_code publish(const std::string& directory,
                            const std::string& name) const;

    // A file that no other process can reach by name: unnamed, or named in
    // a private directory that is removed, with it, when this ends.
    struct PrivateFile
    {
        PrivateFile() = default;
        ~PrivateFile();
        PrivateFile(const PrivateFile&) = delete;
        PrivateFile& operator=(const PrivateFile&) = delete;
        PrivateFile(PrivateFile&& other) noexcept;
        PrivateFile& operator=(PrivateFile&& other) noexcept;

        UniqueFd fd;
        // The private directory; empty for an unnamed file.
        std::string directory;
    };

  private:
    // The digest of the copy as far as it has been taken.
    struct Digest
    {
        std::optional<Sha512> sha;
        std::unique_ptr<std::uint8_t[]> buffer; // NOLINT(*-c-arrays)
        off_t taken = 0;
        off_t size = 0;
        std::string hex;
    };

    PrivateFile copy;
    // The copy's write-back; ends before the copy does.
    mutable BackgroundCall writeBack;
    // Taken on demand: an implementation detail of a copy that never
    // changes.
    mutable Digest digest;
    std::string why;
    bool cut = false;
};

} // namespace update
