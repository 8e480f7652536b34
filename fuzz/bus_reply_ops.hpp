#pragma once

// How bus_reply_fuzz decodes its input into a bus message, shared with its
// seed builder. The first byte chooses the reader (readerCount of them); the
// rest is a sequence of steps, each an opcode byte and its operands:
//   appendBasic  type index (basicTypes), then for strings a length byte and
//                that many bytes, else 8 bytes of value
//   open         container index (containers)
//   close        closes the innermost open container
// Unknown opcodes end the sequence; open containers are then closed.

#include <array>
#include <cstdint>

namespace fuzz::bus_reply
{

enum Reader : std::uint8_t
{
    subTree,
    variantString,
    plainString,
    readerCount
};

enum Op : std::uint8_t
{
    appendBasic,
    open,
    close,
};

inline constexpr std::array<char, 12> basicTypes = {
    's', 'o', 'g', 'y', 'b', 'n', 'q', 'i', 'u', 'x', 't', 'd'};

struct Container
{
    char type;
    const char* contents;
};

inline constexpr std::array<Container, 14> containers = {{
    {'a', "{sa{sas}}"},
    {'e', "sa{sas}"},
    {'a', "{sas}"},
    {'e', "sas"},
    {'a', "s"},
    {'v', "s"},
    {'v', "as"},
    {'v', "y"},
    {'v', "a{sas}"},
    {'r', "ss"},
    {'a', "{sv}"},
    {'e', "sv"},
    {'a', "as"},
    {'a', "y"},
}};

} // namespace fuzz::bus_reply
