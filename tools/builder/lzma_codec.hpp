#pragma once

// The legacy .lzma ("LZMA_Alone") format that "xz -d bios.lzma" unpacks,
// written as a stream.

#include "builder/bytes.hpp"

#include <lzma.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace capsule
{

// Where compressed bytes go; false stops the stream.
using Sink = std::function<bool(const std::uint8_t*, std::size_t)>;

// One liblzma coder, ended on every way out.
struct LzmaStream
{
    LzmaStream() = default;
    LzmaStream(const LzmaStream&) = delete;
    LzmaStream& operator=(const LzmaStream&) = delete;
    LzmaStream(LzmaStream&&) = delete;
    LzmaStream& operator=(LzmaStream&&) = delete;
    ~LzmaStream()
    {
        lzma_end(&stream);
    }

    lzma_stream stream = LZMA_STREAM_INIT;
};

// A .lzma encoder fed in pieces, its output handed to a sink.
class LzmaEncoder
{
  public:
    LzmaEncoder(std::uint32_t preset, Sink sink);

    bool write(const std::uint8_t* data, std::size_t size);
    bool write(const Bytes& data)
    {
        return write(data.data(), data.size());
    }
    // Ends the stream; false when anything failed on the way.
    bool finish();

  private:
    LzmaStream lzma;
    Sink sink;
    bool ready = false;
};

} // namespace capsule
