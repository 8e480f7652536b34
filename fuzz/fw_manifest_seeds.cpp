// Writes a seed corpus for fw_manifest_fuzz into the directory argv[1]:
// valid manifests, manifests followed by image data, every truncation of
// one manifest, and manifests signed by a root the library does not trust.

#include "builder/manifest.hpp"
#include "handles/stdio.hpp"

#include <cstdio>
#include <memory>
#include <string>

namespace
{

using capsule::Bytes;

bool writeSeed(const std::string& directory, const std::string& name,
               const Bytes& bytes)
{
    const std::string path = directory + "/" + name;
    const FilePtr file(std::fopen(path.c_str(), "wb"));
    return file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) ==
                       bytes.size();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s <seed directory>\n", argv[0]);
        return 2;
    }
    const std::string directory = argv[1];
    const capsule::Key root = capsule::developmentRootKey();
    const capsule::Key image = capsule::developmentImageKey();
    const capsule::Key otherRoot = capsule::generateP384Key();
    if (!root || !image || !otherRoot)
    {
        std::fputs("cannot load or generate keys\n", stderr);
        return 1;
    }
    bool ok = true;
    for (const unsigned type : {0U, 1U, 2U, 255U})
    {
        const auto releaseType = static_cast<std::uint8_t>(type);
        Bytes manifest = capsule::buildManifest(root, image, releaseType);
        ok = ok &&
             writeSeed(directory, "valid_" + std::to_string(type), manifest);
        manifest.resize(manifest.size() + 64, 0xA5);
        ok = ok && writeSeed(directory, "with_data_" + std::to_string(type),
                             manifest);
        ok = ok &&
             writeSeed(directory, "other_root_" + std::to_string(type),
                       capsule::buildManifest(otherRoot, image, releaseType));
    }
    const Bytes manifest = capsule::buildManifest(root, image, 2);
    for (std::size_t size = 0; size < manifest.size(); size += 7)
    {
        ok = ok && writeSeed(directory, "truncated_" + std::to_string(size),
                             Bytes(manifest.begin(),
                                   manifest.begin() + static_cast<long>(size)));
    }
    return ok && !manifest.empty() ? 0 : 1;
}
