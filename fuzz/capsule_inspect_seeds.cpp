// Writes seeds for capsule_inspect_fuzz into the directory argv[1]: a
// verdict byte, then a capsule whose body is its image uncompressed, for
// images signed under the development root and under another root, with
// RBU headers of several lengths, and a few near misses.

#include "builder/capsule_image.hpp"
#include "builder/manifest.hpp"
#include "capsule/layout.hpp"
#include "fuzz_support.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace
{

using capsule::Bytes;

// The UEFI header and an RBU header of length `rbuLength`, the image behind
// them; the verdict byte first.
std::string seed(std::uint8_t verdict, std::uint8_t rbuLength,
                 const Bytes& image)
{
    std::string bytes(1, static_cast<char>(verdict));
    bytes.append(capsule::layout::uefiHeaderSize, '\0');
    const Bytes rbu = capsule::rbuHeader(rbuLength);
    bytes.append(rbu.begin(), rbu.end());
    bytes.resize(1 + capsule::layout::uefiHeaderSize + rbuLength);
    bytes.append(image.begin(), image.end());
    return bytes;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: capsule_inspect_seeds <directory>\n");
        return 2;
    }
    const std::string directory = argv[1];
    const capsule::Key root = capsule::developmentRootKey();
    const capsule::Key otherRoot = capsule::generateP384Key();
    const capsule::Key imageKey = capsule::generateP384Key();
    if (!root || !otherRoot || !imageKey)
    {
        std::fprintf(stderr, "capsule_inspect_seeds: no keys\n");
        return 1;
    }
    const Bytes payload(300, 0x5A);
    std::vector<std::string> seeds;
    for (const capsule::Key* signer : {&root, &otherRoot})
    {
        for (const std::uint8_t rbuLength : {8, 16, 40})
        {
            capsule::ImageLayout layout;
            layout.rbuHeaderLength = rbuLength;
            const Bytes image = capsule::buildImage(
                payload, capsule::buildManifest(*signer, imageKey, 2), imageKey,
                layout);
            seeds.push_back(seed(rbuLength == 16 ? 5 : 0, 16, image));
        }
    }
    seeds.push_back(seed(1, 8, capsule::rbuHeader(8)));
    seeds.push_back(seed(0, 0, {}));
    seeds.push_back(std::string(40, '\0'));
    int count = 0;
    for (const std::string& bytes : seeds)
    {
        if (!fuzz::writeSeed(directory, "seed-" + std::to_string(count++),
                             bytes))
        {
            std::fprintf(stderr, "capsule_inspect_seeds: cannot write\n");
            return 1;
        }
    }
    return 0;
}
