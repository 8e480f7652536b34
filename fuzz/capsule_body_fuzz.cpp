// Arbitrary capsules through the first step of unwrapping: the walk over the
// UEFI and RBU headers and the copy of the compressed body into a private
// scratch area (the decompressor is not run). Checks that the step succeeds
// exactly when there is an RBU header behind the UEFI header, and that the
// copy holds exactly the capsule's bytes from the RBU header's length on.

#include "builder/scratch_directory.hpp"
#include "capsule/layout.hpp"
#include "fuzz_support.hpp"
#include "update/bios_image_context.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

namespace layout = capsule::layout;

const capsule::ScratchDirectory& scratch()
{
    static const capsule::ScratchDirectory directory;
    if (!directory.ready())
    {
        std::abort();
    }
    return directory;
}

// What the step must copy: nothing (false) without an RBU header, else the
// bytes from the UEFI header's end plus the RBU header's length byte on.
bool expectedBody(const std::uint8_t* data, std::size_t size, std::string& body)
{
    if (size < layout::uefiHeaderSize + sizeof(layout::RbuHeaderWords) ||
        layout::readLe32(data + layout::uefiHeaderSize) != layout::rbuSignature)
    {
        return false;
    }
    const std::size_t start = std::min(
        size, layout::uefiHeaderSize +
                  data[layout::uefiHeaderSize + layout::rbuLengthOffset]);
    body.assign(reinterpret_cast<const char*>(data) + start, size - start);
    return true;
}

std::string readWhole(const std::string& path)
{
    std::string bytes;
    const FilePtr file(std::fopen(path.c_str(), "rb"));
    std::array<char, 4096> chunk{};
    std::size_t n = 0;
    while (file &&
           (n = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0)
    {
        bytes.append(chunk.data(), n);
    }
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz::quietProductLines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    const update::ScratchArea area = scratch().area();
    if (mkdir(area.directory.c_str(), S_IRWXU) != 0)
    {
        std::abort();
    }
    // The context removes the scratch area when it ends.
    update::BiosImageContext ctx(scratch().file("capsule"),
                                 fuzz::memoryStream(data, size), area);
    if (!ctx.file)
    {
        return 0;
    }
    std::string expected;
    const bool copies = expectedBody(data, size, expected);
    if (update::copyCompressedBody(ctx) != copies ||
        (copies && readWhole(area.compressedImage) != expected))
    {
        std::abort();
    }
    return 0;
}
