#include "builder/lzma_codec.hpp"

#include <array>
#include <utility>

namespace capsule
{
namespace
{

// Runs `action` over the input until it is used up (LZMA_RUN) or the stream
// ends (LZMA_FINISH), handing every filled output buffer to the sink.
bool pump(lzma_stream& stream, const std::uint8_t* data, std::size_t size,
          lzma_action action, const Sink& sink)
{
    std::array<std::uint8_t, std::size_t{64} * 1024> out{};
    stream.next_in = data;
    stream.avail_in = size;
    while (true)
    {
        stream.next_out = out.data();
        stream.avail_out = out.size();
        const lzma_ret ret = lzma_code(&stream, action);
        const std::size_t produced = out.size() - stream.avail_out;
        if (produced != 0 && !sink(out.data(), produced))
        {
            return false;
        }
        if (ret == LZMA_STREAM_END)
        {
            return true;
        }
        if (ret != LZMA_OK)
        {
            return false;
        }
        if (action == LZMA_RUN && stream.avail_in == 0)
        {
            return true;
        }
    }
}

} // namespace

LzmaEncoder::LzmaEncoder(std::uint32_t preset, Sink sink) :
    sink(std::move(sink))
{
    lzma_options_lzma options{};
    ready = lzma_lzma_preset(&options, preset) == 0 &&
            lzma_alone_encoder(&lzma.stream, &options) == LZMA_OK;
}

bool LzmaEncoder::write(const std::uint8_t* data, std::size_t size)
{
    return ready && pump(lzma.stream, data, size, LZMA_RUN, sink);
}

bool LzmaEncoder::finish()
{
    return ready && pump(lzma.stream, nullptr, 0, LZMA_FINISH, sink);
}

} // namespace capsule
