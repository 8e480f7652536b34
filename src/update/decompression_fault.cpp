#include "update/decompression_fault.hpp"

#include "build_limits.hpp"
#include "handles/stdio.hpp"

#include <lzma.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace update
{
namespace
{

// The decoder gives up, and the capsule is blamed, past this much memory.
constexpr std::uint64_t decoderMemoryLimit = std::uint64_t{128} << 20U;
constexpr std::size_t chunkSize = std::size_t{16} * 1024;

// Frees the decoder's state when the count ends.
class Decoder
{
  public:
    Decoder() noexcept :
        ready(lzma_auto_decoder(&stream, decoderMemoryLimit, 0) == LZMA_OK)
    {}
    ~Decoder()
    {
        lzma_end(&stream);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    Decoder(Decoder&&) = delete;
    Decoder& operator=(Decoder&&) = delete;

    lzma_stream stream = LZMA_STREAM_INIT;
    bool ready;
};

// Free bytes of the file system that holds `directory`; 0 when unknown.
std::uint64_t roomIn(const std::string& directory) noexcept
{
    struct statvfs fs
    {};
    if (statvfs(directory.c_str(), &fs) != 0)
    {
        return 0;
    }
    return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
}

// True when the body at `path` decodes cleanly past `room` bytes; the
// decoded bytes are counted and dropped.
bool decodesPast(const std::string& path, std::uint64_t room) noexcept
{
    const FilePtr body(std::fopen(path.c_str(), "rb"));
    Decoder decoder;
    if (!body || !decoder.ready)
    {
        return false;
    }
    std::array<std::uint8_t, chunkSize> input{};
    std::array<std::uint8_t, chunkSize> output{};
    lzma_stream& stream = decoder.stream;
    lzma_ret result = LZMA_OK;
    while (result == LZMA_OK && stream.total_out <= room)
    {
        if (stream.avail_in == 0)
        {
            stream.next_in = input.data();
            stream.avail_in =
                std::fread(input.data(), 1, input.size(), body.get());
        }
        stream.next_out = output.data();
        stream.avail_out = output.size();
        result =
            lzma_code(&stream, stream.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
    }
    return stream.total_out > room;
}

} // namespace

bool bmcAtFault(const char* program, const ScratchArea& area) noexcept
{
    if (access(program, X_OK) != 0)
    {
        return true;
    }
    const std::uint64_t room = roomIn(area.directory);
    return room < limits::maxImageSize &&
           decodesPast(area.compressedImage, room);
}

} // namespace update
