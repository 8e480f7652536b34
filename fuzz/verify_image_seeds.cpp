// Writes seed images for verify_image_fuzz into the directory argv[1]:
// valid images of several shapes, signed with a throw-away image key under
// the development root key, and a few near misses.

#include "builder/capsule_image.hpp"
#include "builder/manifest.hpp"

#include <cstdio>
#include <fstream>
#include <string>

namespace
{

using capsule::Bytes;

bool writeSeed(const std::string& directory, const std::string& name,
               const Bytes& bytes)
{
    std::ofstream out(directory + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

Bytes pattern(std::size_t size)
{
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i)
    {
        data[i] = static_cast<std::uint8_t>((i * 131U) ^ (i >> 8U));
    }
    return data;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: verify_image_seeds <directory>\n");
        return 2;
    }
    const std::string directory = argv[1];
    const capsule::Key root = capsule::developmentRootKey();
    const capsule::Key imageKey = capsule::generateP384Key();
    if (!root || !imageKey)
    {
        std::fprintf(stderr, "verify_image_seeds: no keys\n");
        return 1;
    }

    bool ok = true;
    int count = 0;
    const auto seed = [&](const Bytes& bytes) {
        ok = ok && !bytes.empty() &&
             writeSeed(directory, "seed-" + std::to_string(count++), bytes);
    };
    for (const std::uint8_t releaseType : {0, 1, 2})
    {
        for (const std::uint8_t rbuLength : {0, 8, 16, 40})
        {
            for (const std::size_t payloadSize : {0, 1, 300})
            {
                capsule::ImageLayout layout;
                layout.rbuHeaderLength = rbuLength;
                const Bytes manifest =
                    capsule::buildManifest(root, imageKey, releaseType);
                seed(capsule::buildImage(pattern(payloadSize), manifest,
                                         imageKey, layout));
            }
        }
    }
    // A manifest under another root and a bare RBU header.
    const capsule::Key otherRoot = capsule::generateP384Key();
    seed(capsule::buildImage(
        pattern(64), capsule::buildManifest(otherRoot, imageKey, 2), imageKey));
    seed(capsule::rbuHeader(8));
    if (!ok)
    {
        std::fprintf(stderr, "verify_image_seeds: could not write seeds\n");
        return 1;
    }
    return 0;
}
