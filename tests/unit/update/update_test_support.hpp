#pragma once

// Shared helpers of the unwrapping and verification unit tests: a private
// scratch area under the temp directory, development and throw-away keys,
// and the exact diagnostic lines the updater writes.

#include "builder/capsule_image.hpp"
#include "builder/lzma_codec.hpp"
#include "builder/manifest.hpp"
#include "builder/scratch_directory.hpp"
#include "update/bios_image_context.hpp"

#include <cstdint>
#include <filesystem>
#include <string>

namespace update_test
{

using capsule::Bytes;

// A private scratch area for one test, removed with everything in it when
// the object ends; `area` is what a context is built with.
struct TempScratch : capsule::ScratchDirectory
{
    TempScratch() :
        area(ScratchDirectory::area()), directory(area.directory),
        compressedImage(area.compressedImage), image(area.image)
    {}

    update::ScratchArea area;
    std::string directory;
    std::string compressedImage;
    std::string image;
};

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);

// The root-of-trust key the manifest library was built with (the committed
// development key) and the image-signing key of the test run.
const capsule::Key& rootKey();
const capsule::Key& imageKey();

// Payload of `size` bytes in a fixed, non-repeating pattern.
Bytes payload(std::size_t size);

// A verified-to-be image with the given payload, signed with imageKey() and
// a manifest from rootKey().
Bytes goodImage(const Bytes& data, std::uint8_t releaseType = 2,
                std::uint8_t rbuHeaderLength = 16);

// "BIOSIMG_DBG_FAIL: <tag>: <text>\n" and its information twin.
std::string failLine(const char* tag, const char* text);
std::string infoLine(const char* tag, const char* text);

} // namespace update_test
