// The capsule builder: layouts of what it writes, and round trips.

#include "builder/capsule_image.hpp"
#include "builder/lzma_codec.hpp"
#include "builder/manifest.hpp"
#include "vardex/manifest_format.hpp"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace
{

using capsule::Bytes;

const capsule::Key& rootKey()
{
    static const capsule::Key key =
        capsule::loadPrivateKey(capsule::developmentRootKeyPath());
    return key;
}

const capsule::Key& imageKey()
{
    static const capsule::Key key =
        capsule::loadPrivateKey(capsule::developmentImageKeyPath());
    return key;
}

Bytes randomBytes(std::size_t size)
{
    Bytes bytes(size);
    if (size != 0)
    {
        EXPECT_EQ(RAND_bytes(bytes.data(), static_cast<int>(size)), 1);
    }
    return bytes;
}

// True when the DER signature at the start of `slot` verifies over `data`.
bool slotVerifies(const Bytes& data, const Bytes& slot, const capsule::Key& key)
{
    const Bytes der = capsule::publicKeyDer(key);
    const unsigned char* cursor = der.data();
    const capsule::Key pub(
        d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())));
    const MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!pub || !ctx ||
        EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha512(), nullptr,
                             pub.get()) != 1)
    {
        return false;
    }
    return EVP_DigestVerify(ctx.get(), slot.data(), slot[1] + 2U, data.data(),
                            data.size()) == 1;
}

TEST(CapsuleBuilderTest, DevelopmentKeysLoad)
{
    ASSERT_TRUE(rootKey());
    ASSERT_TRUE(imageKey());
    EXPECT_TRUE(capsule::loadPublicKey(
        capsule::developmentKeyPath("manifest_root_public.pem")));
    EXPECT_FALSE(capsule::loadPrivateKey("/nonexistent/key.pem"));
    EXPECT_EQ(capsule::keyFingerprint(capsule::publicKeyDer(imageKey())).size(),
              64U);
}

class CompressionTest : public testing::TestWithParam<std::size_t>
{};

TEST_P(CompressionTest, RoundTrips)
{
    const Bytes data = randomBytes(GetParam());
    const Bytes packed = capsule::compress(data, 1);
    ASSERT_FALSE(packed.empty());
    // Legacy .lzma header: properties byte 0x5D for lc=3 lp=0 pb=2.
    EXPECT_EQ(packed[0], 0x5D);
    const std::optional<Bytes> unpacked = capsule::decompress(packed);
    ASSERT_TRUE(unpacked);
    EXPECT_EQ(*unpacked, data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CompressionTest,
                         testing::Values(0, 1, 104, 65536, 1024 * 1024 + 7));

TEST(CapsuleBuilderTest, DecompressRefusesGarbageAndTruncation)
{
    EXPECT_FALSE(capsule::decompress(Bytes(64, 0x11)));
    const Bytes packed = capsule::compress(randomBytes(4096), 1);
    EXPECT_FALSE(
        capsule::decompress(Bytes(packed.begin(), packed.begin() + 40)));
}

class RbuHeaderTest : public testing::TestWithParam<std::uint8_t>
{};

TEST_P(RbuHeaderTest, HasMagicLengthAndZeroFill)
{
    const Bytes header = capsule::rbuHeader(GetParam());
    ASSERT_EQ(header.size(), std::max<std::size_t>(GetParam(), 8));
    EXPECT_EQ(std::memcmp(header.data(), "$RBU", 4), 0);
    EXPECT_EQ(header[4], GetParam());
    for (std::size_t i = 5; i < header.size(); ++i)
    {
        EXPECT_EQ(header[i], 0) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, RbuHeaderTest,
                         testing::Values(0, 7, 8, 16, 255));

TEST(CapsuleBuilderTest, ImageLayout)
{
    const Bytes manifest = capsule::buildManifest(rootKey(), imageKey(), 2);
    const Bytes payload = randomBytes(1000);
    const Bytes image = capsule::buildImage(payload, manifest, imageKey(),
                                            {.rbuHeaderLength = 32});
    ASSERT_EQ(image.size(), 32 + manifest.size() + payload.size() + 104);
    EXPECT_EQ(image[4], 32);
    EXPECT_EQ(Bytes(image.begin() + 32,
                    image.begin() + 32 + static_cast<long>(manifest.size())),
              manifest);
    const Bytes signedPart(image.begin(), image.end() - 104);
    const Bytes slot(image.end() - 104, image.end());
    EXPECT_EQ(signedPart, capsule::buildSignedPart(payload, manifest,
                                                   {.rbuHeaderLength = 32}));
    EXPECT_EQ(slot[0], 0x30);
    for (std::size_t i = slot[1] + 2U; i < slot.size(); ++i)
    {
        EXPECT_EQ(slot[i], 0) << i;
    }
    EXPECT_TRUE(slotVerifies(signedPart, slot, imageKey()));
    Bytes tampered = signedPart;
    tampered[tampered.size() / 2] ^= 1;
    EXPECT_FALSE(slotVerifies(tampered, slot, imageKey()));
}

TEST(CapsuleBuilderTest, ManifestParsesBackToItsFields)
{
    const Bytes manifest = capsule::buildManifest(rootKey(), imageKey(), 7);
    const auto fields =
        capsule::parseManifest(manifest.data(), manifest.size());
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->formatVersion, 1);
    EXPECT_EQ(fields->releaseType, 7);
    EXPECT_EQ(fields->keyOffset, 10U);
    EXPECT_EQ(
        Bytes(manifest.begin() + 10,
              manifest.begin() + 10 + static_cast<long>(fields->keyLength)),
        capsule::publicKeyDer(imageKey()));
    EXPECT_EQ(fields->totalLength, manifest.size());
    for (std::size_t size = 0; size < manifest.size(); ++size)
    {
        EXPECT_FALSE(capsule::parseManifest(manifest.data(), size)) << size;
    }
    EXPECT_TRUE(capsule::buildManifestFromDer(rootKey(), Bytes(), 2).empty());
    EXPECT_TRUE(
        capsule::buildManifestFromDer(rootKey(), Bytes(1025, 1), 2).empty());
}

TEST(CapsuleBuilderTest, CapsuleLayout)
{
    const Bytes image = randomBytes(5000);
    const Bytes built = capsule::buildCapsule(image, {.rbuHeaderLength = 24});
    ASSERT_GT(built.size(), 84U + 24U);
    // EFI_CAPSULE_GUID, HeaderSize, Flags, CapsuleImageSize.
    const Bytes guid = {0xBD, 0x86, 0x66, 0x3B, 0x76, 0x0D, 0x30, 0x40,
                        0xB7, 0x0E, 0xB5, 0x51, 0x9E, 0x2F, 0xC5, 0xA0};
    EXPECT_EQ(Bytes(built.begin(), built.begin() + 16), guid);
    EXPECT_EQ(capsule::readLe32(built, 16), 84U);
    EXPECT_EQ(capsule::readLe32(built, 20), 0x00010000U);
    EXPECT_EQ(capsule::readLe32(built, 24), built.size());
    EXPECT_EQ(std::memcmp(built.data() + 84, "$RBU", 4), 0);
    EXPECT_EQ(built[88], 24);
    const std::optional<Bytes> body =
        capsule::decompress(Bytes(built.begin() + 84 + 24, built.end()));
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, image);
}

TEST(CapsuleBuilderTest, CapsuleWithShortRbuLengthKeepsEightBytes)
{
    const Bytes image = randomBytes(100);
    const Bytes built = capsule::buildCapsule(image, {.rbuHeaderLength = 0});
    EXPECT_EQ(built[88], 0);
    EXPECT_TRUE(capsule::decompress(Bytes(built.begin() + 92, built.end())));
}

struct TempDir
{
    std::string path;
    TempDir()
    {
        std::string pattern = testing::TempDir() + "builderXXXXXX";
        if (mkdtemp(pattern.data()) != nullptr)
        {
            path = pattern;
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir()
    {
        std::remove((path + "/payload").c_str());
        std::remove((path + "/capsule").c_str());
        rmdir(path.c_str());
    }
};

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in),
            std::istreambuf_iterator<char>()};
}

TEST(CapsuleBuilderTest, PackFileStreamsTheSameImage)
{
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    // More than one streaming chunk, not a multiple of it.
    const Bytes payload = randomBytes(3 * 1024 * 1024 + 5);
    {
        std::ofstream out(dir.path + "/payload", std::ios::binary);
        out.write(reinterpret_cast<const char*>(payload.data()),
                  static_cast<std::streamsize>(payload.size()));
    }
    const Bytes manifest = capsule::buildManifest(rootKey(), imageKey(), 2);
    ASSERT_TRUE(
        capsule::packFile(dir.path + "/payload", manifest, imageKey(),
                          dir.path + "/capsule", {.rbuHeaderLength = 8},
                          {.rbuHeaderLength = 16, .compressionPreset = 0}));
    const Bytes built = readFile(dir.path + "/capsule");
    ASSERT_GT(built.size(), 100U);
    EXPECT_EQ(capsule::readLe32(built, 24), built.size());
    EXPECT_EQ(built[88], 16);
    const std::optional<Bytes> image =
        capsule::decompress(Bytes(built.begin() + 100, built.end()));
    ASSERT_TRUE(image);
    ASSERT_GT(image->size(), 104U);
    const Bytes signedPart(image->begin(), image->end() - 104);
    EXPECT_EQ(signedPart, capsule::buildSignedPart(payload, manifest,
                                                   {.rbuHeaderLength = 8}));
    EXPECT_TRUE(slotVerifies(
        signedPart, Bytes(image->end() - 104, image->end()), imageKey()));
}

TEST(CapsuleBuilderTest, PackFileFailsCleanly)
{
    TempDir dir;
    const Bytes manifest = capsule::buildManifest(rootKey(), imageKey(), 2);
    EXPECT_FALSE(capsule::packFile(dir.path + "/missing", manifest, imageKey(),
                                   dir.path + "/capsule"));
    EXPECT_FALSE(capsule::packFile(dir.path + "/missing", manifest,
                                   capsule::Key(), dir.path + "/capsule"));
    std::ofstream(dir.path + "/payload") << "data";
    EXPECT_FALSE(capsule::packFile(dir.path + "/payload", manifest,
                                   capsule::Key(), dir.path + "/capsule"));
    EXPECT_FALSE(std::ifstream(dir.path + "/capsule").good());
}

} // namespace
