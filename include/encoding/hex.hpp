#pragma once

// Lower-case hexadecimal text of bytes, as digests and key fingerprints are
// written everywhere the tool, its libraries and its tools show them.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace encoding
{

// Two digits for each byte, no separators.
inline std::string lowerHex(std::span<const std::uint8_t> bytes)
{
    static constexpr std::string_view digits = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes)
    {
        text += digits[byte >> 4U];
        text += digits[byte & 0x0FU];
    }
    return text;
}

} // namespace encoding
