// Fuzz target: the firmware-manifest library over arbitrary bytes.

#include "handles/stdio.hpp"
#include "vardex/fw_manifest.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    // fmemopen needs a writable buffer of at least one byte.
    std::vector<std::uint8_t> copy(data, data + size);
    copy.push_back(0);
    const FilePtr stream(fmemopen(copy.data(), size == 0 ? 1 : size, "rb"));
    if (!stream)
    {
        return 0;
    }
    FwManifest manifest(stream.get());
    const std::uint8_t* record = manifest.VerifyManifest();
    if (record != nullptr)
    {
        // Touch the whole record: it must be as long as it says.
        std::uint16_t length = 0;
        std::memcpy(&length, record, sizeof(length));
        volatile std::uint8_t sum = 0;
        for (std::size_t i = 0; i < length; ++i)
        {
            sum = static_cast<std::uint8_t>(sum + record[2 + i]);
        }
    }
    std::rewind(stream.get());
    static_cast<void>(manifest.extractReleaseType());
    return 0;
}
