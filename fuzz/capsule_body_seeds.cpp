// Writes seed capsules for capsule_body_fuzz into the directory argv[1]:
// capsules with RBU headers of several lengths, each cut short at the
// places the header walk looks at, and one without "$RBU".

#include "builder/capsule_image.hpp"
#include "capsule/layout.hpp"
#include "fuzz_support.hpp"

#include <cstdio>
#include <string>

namespace
{

using capsule::Bytes;

std::string text(const Bytes& bytes, std::size_t size)
{
    return {bytes.begin(), bytes.begin() + static_cast<long>(size)};
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: capsule_body_seeds <directory>\n");
        return 2;
    }
    const std::string directory = argv[1];
    const std::size_t rbuStart = capsule::layout::uefiHeaderSize;
    bool ok = true;
    int count = 0;
    const auto seed = [&](const std::string& bytes) {
        ok = ok && fuzz::writeSeed(directory, "seed-" + std::to_string(count++),
                                   bytes);
    };
    for (const std::uint8_t rbuLength : {0, 5, 8, 16, 40, 255})
    {
        capsule::CapsuleLayout layout;
        layout.rbuHeaderLength = rbuLength;
        const Bytes image = capsule::rbuHeader(16);
        const Bytes capsule = capsule::buildCapsule(image, layout);
        ok = ok && !capsule.empty();
        for (const std::size_t size :
             {rbuStart, rbuStart + 7, rbuStart + 8, capsule.size()})
        {
            seed(text(capsule, std::min(size, capsule.size())));
        }
        if (rbuLength == 16)
        {
            Bytes renamed = capsule;
            renamed[rbuStart] = 'X';
            seed(text(renamed, renamed.size()));
        }
    }
    if (!ok)
    {
        std::fprintf(stderr, "capsule_body_seeds: could not write seeds\n");
        return 1;
    }
    return 0;
}
