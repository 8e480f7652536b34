#pragma once

// Byte layout of a firmware manifest, shared by libvardex (which reads and
// verifies it) and the capsule builder (which writes it).
//
//   offset  size  field
//   0       4     magic "VDXM"
//   4       1     format version (1)
//   5       1     release type (2 = production, other = prototype, 0 = none)
//   6       2     reserved, zero
//   8       2     key length n, little-endian, 1..1024
//   10      n     image-signing public key, DER SubjectPublicKeyInfo
//                 (ECDSA P-384)
//   10+n    2     signature length m, little-endian, 1..256
//   12+n    m     root-of-trust signature: DER ECDSA (P-384) over SHA-384 of
//                 bytes [0, 10+n)
//
// The manifest ends at 12+n+m; whatever follows is image data.

#include <array>
#include <cstddef>
#include <cstdint>

namespace vardex::format
{

inline constexpr std::array<std::uint8_t, 4> magic = {'V', 'D', 'X', 'M'};
inline constexpr std::uint8_t version = 1;

inline constexpr std::size_t magicOffset = 0;
inline constexpr std::size_t versionOffset = 4;
inline constexpr std::size_t releaseTypeOffset = 5;
inline constexpr std::size_t reservedOffset = 6;
inline constexpr std::size_t reservedSize = 2;
inline constexpr std::size_t keyLengthOffset = 8;
inline constexpr std::size_t headerSize = 10; // up to the key
inline constexpr std::size_t lengthFieldSize = 2;

inline constexpr std::size_t maxKeyLength = 1024;
inline constexpr std::size_t maxSignatureLength = 256;
// Upper bound of a whole manifest.
inline constexpr std::size_t maxManifestSize =
    headerSize + maxKeyLength + lengthFieldSize + maxSignatureLength;

inline std::uint16_t readLe16(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline void writeLe16(std::uint8_t* bytes, std::uint16_t value)
{
    bytes[0] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

inline bool keyLengthValid(std::size_t length)
{
    return length >= 1 && length <= maxKeyLength;
}

inline bool signatureLengthValid(std::size_t length)
{
    return length >= 1 && length <= maxSignatureLength;
}

// Checks the fixed header (headerSize bytes): magic, version, reserved
// bytes and the key length bound.
inline bool headerValid(const std::uint8_t* header)
{
    for (std::size_t i = 0; i < magic.size(); ++i)
    {
        if (header[magicOffset + i] != magic[i])
        {
            return false;
        }
    }
    if (header[versionOffset] != version)
    {
        return false;
    }
    for (std::size_t i = 0; i < reservedSize; ++i)
    {
        if (header[reservedOffset + i] != 0)
        {
            return false;
        }
    }
    return keyLengthValid(readLe16(header + keyLengthOffset));
}

} // namespace vardex::format
