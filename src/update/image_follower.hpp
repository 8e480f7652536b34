#pragma once

// The SHA-512 of a decompressed image's signed bytes (everything before its
// signature slot), taken while the decompressor writes the image, so that
// verification needs no second pass over it.
//
// xz writes its output front to back: every byte below the file's size has
// been written for good, and a run of zeros that it skips by seeking is a
// hole, read as zeros. The follower reads whatever is there, up to the
// size less the signature slot, each time it is asked, through a file it
// opened without following a link and only if it is a regular file. When
// the decompressor has ended it reads the rest through the image that
// verification reads, provided that is the very file it followed.
//
// It only ever gives up: a file that is not what it should be, a read or a
// digest that fails, an image that is not the file followed, or one shorter
// than what was hashed leaves no digest, and verification reads the image
// itself as it always could.

#include "handles/fd.hpp"
#include "update/sha512.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace update
{

// What verification is handed: the SHA-512 of the image's first `length`
// bytes.
struct ImageDigest
{
    Sha512Bytes sha512{};
    std::uint64_t length = 0;
};

class ImageFollower
{
  public:
    // Follows the file `name` that is to appear in `directory`. A follower
    // whose buffer, digest or directory cannot be had follows nothing.
    ImageFollower(const std::string& directory, std::string name);

    // Hashes the next part of what has been written since the last call.
    // True when it hashed anything: the caller may ask again at once.
    bool follow();

    // True while the file had not appeared at the last follow() and still
    // may: the decompressor is not running yet.
    bool awaiting() const noexcept;

    // After the decompressor has ended: the digest of all but the last
    // signature slot's worth of `image`, if `image` is the file followed.
    std::optional<ImageDigest> finish(int image);

  private:
    // Opens the file once it is there; false until then, or for good once
    // it turned out to be something else.
    bool opened();
    // Hashes up to `end`, a buffer at a time; false on a failed read.
    bool hashUpTo(std::uint64_t end, bool once);

    UniqueFd directory;
    std::string name;
    UniqueFd file;
    std::unique_ptr<std::uint8_t[]> buffer; // NOLINT(*-c-arrays)
    Sha512 digest;
    std::uint64_t hashed = 0;
    bool gaveUp = false;
};

} // namespace update
