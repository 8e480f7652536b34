#include "update_test_support.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace update_test
{

void writeFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
    {
        throw std::runtime_error("cannot write " + path);
    }
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in),
            std::istreambuf_iterator<char>()};
}

const capsule::Key& rootKey()
{
    static const capsule::Key key =
        capsule::loadPrivateKey(capsule::developmentRootKeyPath());
    return key;
}

const capsule::Key& imageKey()
{
    static const capsule::Key key = capsule::generateP384Key();
    return key;
}

Bytes payload(std::size_t size)
{
    Bytes data(size);
    std::uint32_t state = 0x9E3779B9;
    for (auto& byte : data)
    {
        state = state * 1664525U + 1013904223U;
        byte = static_cast<std::uint8_t>(state >> 24U);
    }
    return data;
}

Bytes goodImage(const Bytes& data, std::uint8_t releaseType,
                std::uint8_t rbuHeaderLength)
{
    const Bytes manifest =
        capsule::buildManifest(rootKey(), imageKey(), releaseType);
    capsule::ImageLayout layout;
    layout.rbuHeaderLength = rbuHeaderLength;
    return capsule::buildImage(data, manifest, imageKey(), layout);
}

std::string failLine(const char* tag, const char* text)
{
    return std::string("BIOSIMG_DBG_FAIL: ") + tag + ": " + text + "\n";
}

std::string infoLine(const char* tag, const char* text)
{
    return std::string("BIOSIMG_DBG_INFO: ") + tag + ": " + text + "\n";
}

} // namespace update_test
