#pragma once

// Byte strings the capsule builder passes around.

#include <cstdint>
#include <vector>

namespace capsule
{

using Bytes = std::vector<std::uint8_t>;

inline void append(Bytes& to, const Bytes& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

} // namespace capsule
