#pragma once

// An SHA-512 digest fed piece by piece; any OpenSSL failure leaves it
// failed, and a failed digest gives no result.

#include "handles/openssl.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace update
{

inline constexpr std::size_t sha512Size = 64;
using Sha512Bytes = std::array<std::uint8_t, sha512Size>;

class Sha512
{
  public:
    // Creates and starts the digest; failed() when OpenSSL could not.
    Sha512();

    void update(const std::uint8_t* data, std::size_t size);

    bool failed() const noexcept;

    // The digest of everything fed; nothing when any step failed.
    std::optional<Sha512Bytes> finish();

    // The same as lowercase hexadecimal; empty when any step failed.
    std::string finishHex();

  private:
    MdCtxPtr ctx;
    bool good;
};

} // namespace update
