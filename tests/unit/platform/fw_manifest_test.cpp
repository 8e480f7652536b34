// The firmware-manifest library: what it accepts, what it refuses, and what
// it hands back.

#include "builder/capsule_image.hpp"
#include "builder/manifest.hpp"
#include "handles/stdio.hpp"
#include "manifest_root_key.hpp"
#include "platform/fw_manifest.hpp"
#include "vardex/manifest_format.hpp"

#include <openssl/x509.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace
{

using capsule::Bytes;
namespace format = vardex::format;

// A temporary file holding `bytes`, positioned at `position`.
FilePtr streamOf(const Bytes& bytes, long position = 0)
{
    FilePtr file(std::tmpfile());
    if (file && !bytes.empty())
    {
        EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file.get()),
                  bytes.size());
    }
    if (file)
    {
        EXPECT_EQ(std::fseek(file.get(), position, SEEK_SET), 0);
    }
    return file;
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

const Bytes& validManifest()
{
    static const Bytes manifest =
        capsule::buildManifest(rootKey(), imageKey(), 2);
    return manifest;
}

// The tests sign manifests with the development root key; a library built
// with another root (-Dmanifest-root-key=...) is not theirs to test.
class DevelopmentRootEnvironment : public testing::Environment
{
  public:
    void SetUp() override
    {
        const Bytes embedded(vardex::manifestRootKeyDer.begin(),
                             vardex::manifestRootKeyDer.end());
        if (embedded != capsule::publicKeyDer(rootKey()))
        {
            GTEST_SKIP() << "libvardex embeds a root key other than the "
                            "development key";
        }
    }
};

[[maybe_unused]] testing::Environment* const developmentRoot =
    testing::AddGlobalTestEnvironment(new DevelopmentRootEnvironment);

bool verifies(const Bytes& bytes)
{
    const FilePtr file = streamOf(bytes);
    FwManifest manifest(file.get());
    return manifest.VerifyManifest() != nullptr;
}

Bytes withLe16(Bytes bytes, std::size_t offset, std::uint16_t value)
{
    format::writeLe16(bytes.data() + offset, value);
    return bytes;
}

TEST(FwManifestTest, KeysAreUsable)
{
    ASSERT_TRUE(rootKey());
    ASSERT_TRUE(imageKey());
    ASSERT_FALSE(validManifest().empty());
}

TEST(FwManifestTest, ValidManifestYieldsKeyRecordAndReleaseType)
{
    Bytes bytes = validManifest();
    const Bytes payload = {1, 2, 3, 4};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    const FilePtr file = streamOf(bytes);
    FwManifest manifest(file.get());

    const std::uint8_t* record = manifest.VerifyManifest();
    ASSERT_NE(record, nullptr);
    std::uint16_t length = 0;
    std::memcpy(&length, record, sizeof(length));
    const Bytes der = capsule::publicKeyDer(imageKey());
    ASSERT_EQ(length, der.size());
    EXPECT_EQ(Bytes(record + 2, record + 2 + length), der);

    const unsigned char* cursor = record + 2;
    const capsule::Key decoded(d2i_PUBKEY(nullptr, &cursor, length));
    EXPECT_TRUE(decoded);
    EXPECT_EQ(manifest.extractReleaseType(), 2);
    // The manifest is read exactly: the payload behind it is not consumed.
    EXPECT_EQ(std::ftell(file.get()),
              static_cast<long>(validManifest().size()));
}

TEST(FwManifestTest, ManifestIsReadFromTheCurrentPosition)
{
    Bytes bytes = capsule::rbuHeader(16);
    bytes.insert(bytes.end(), validManifest().begin(), validManifest().end());
    const FilePtr file = streamOf(bytes, 16);
    FwManifest manifest(file.get());
    EXPECT_NE(manifest.VerifyManifest(), nullptr);

    const FilePtr fromStart = streamOf(bytes, 0);
    FwManifest misplaced(fromStart.get());
    EXPECT_EQ(misplaced.VerifyManifest(), nullptr);
}

class ReleaseTypeTest : public testing::TestWithParam<std::uint8_t>
{};

TEST_P(ReleaseTypeTest, ReleaseTypeIsCarriedAsSigned)
{
    const Bytes bytes =
        capsule::buildManifest(rootKey(), imageKey(), GetParam());
    const FilePtr file = streamOf(bytes);
    FwManifest manifest(file.get());
    ASSERT_NE(manifest.VerifyManifest(), nullptr);
    EXPECT_EQ(manifest.extractReleaseType(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Values, ReleaseTypeTest,
                         testing::Values(0, 1, 2, 3, 0x7F, 0xFE, 0xFF));

TEST(FwManifestTest, ReleaseTypeDoesNotDependOnTheStream)
{
    Bytes bytes = validManifest();
    bytes.resize(bytes.size() + 64, 0xEE);
    const FilePtr file = streamOf(bytes);
    FwManifest manifest(file.get());
    ASSERT_NE(manifest.VerifyManifest(), nullptr);
    for (const long position : {0L, 5L, 100L, static_cast<long>(bytes.size())})
    {
        ASSERT_EQ(std::fseek(file.get(), position, SEEK_SET), 0);
        EXPECT_EQ(manifest.extractReleaseType(), 2) << position;
    }
    // Even a stream at its end after a full read.
    std::vector<std::uint8_t> sink(bytes.size());
    ASSERT_EQ(std::fseek(file.get(), 0, SEEK_SET), 0);
    EXPECT_EQ(std::fread(sink.data(), 1, sink.size(), file.get()), sink.size());
    EXPECT_EQ(manifest.extractReleaseType(), 2);
}

TEST(FwManifestTest, NoReleaseTypeBeforeOrWithoutVerification)
{
    const FilePtr file = streamOf(validManifest());
    FwManifest unverified(file.get());
    EXPECT_EQ(unverified.extractReleaseType(), 0);

    Bytes bad = validManifest();
    bad[format::releaseTypeOffset] ^= 0x01;
    const FilePtr badFile = streamOf(bad);
    FwManifest refused(badFile.get());
    EXPECT_EQ(refused.VerifyManifest(), nullptr);
    EXPECT_EQ(refused.extractReleaseType(), 0);
}

TEST(FwManifestTest, SecondVerifyReturnsTheSameRecord)
{
    const FilePtr file = streamOf(validManifest());
    FwManifest manifest(file.get());
    const std::uint8_t* first = manifest.VerifyManifest();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(manifest.VerifyManifest(), first);
}

TEST(FwManifestTest, NullStreamIsRefused)
{
    FwManifest manifest(nullptr);
    EXPECT_EQ(manifest.VerifyManifest(), nullptr);
    EXPECT_EQ(manifest.extractReleaseType(), 0);
}

// Every single-byte change anywhere in the manifest is refused.
class FlippedByteTest : public testing::TestWithParam<std::uint8_t>
{};

TEST_P(FlippedByteTest, EveryOffsetIsProtected)
{
    const Bytes& good = validManifest();
    for (std::size_t offset = 0; offset < good.size(); ++offset)
    {
        Bytes bad = good;
        bad[offset] ^= GetParam();
        EXPECT_FALSE(verifies(bad)) << "offset " << offset;
    }
}

INSTANTIATE_TEST_SUITE_P(Masks, FlippedByteTest,
                         testing::Values(0x01, 0x80, 0xFF));

TEST(FwManifestTest, EveryTruncationIsRefused)
{
    const Bytes& good = validManifest();
    for (std::size_t size = 0; size < good.size(); ++size)
    {
        EXPECT_FALSE(verifies(
            Bytes(good.begin(), good.begin() + static_cast<long>(size))))
            << "size " << size;
    }
    EXPECT_TRUE(verifies(good));
}

struct Corruption
{
    const char* name;
    std::function<Bytes()> make;
};

std::string corruptionName(const testing::TestParamInfo<Corruption>& info)
{
    return info.param.name;
}

class CorruptionTest : public testing::TestWithParam<Corruption>
{};

TEST_P(CorruptionTest, IsRefused)
{
    EXPECT_FALSE(verifies(GetParam().make()));
}

std::size_t keyLength()
{
    return format::readLe16(validManifest().data() + format::keyLengthOffset);
}

std::size_t signatureLengthOffset()
{
    return format::headerSize + keyLength();
}

Bytes signedWithKeyDer(const Bytes& der)
{
    return capsule::buildManifestFromDer(rootKey(), der, 2);
}

Bytes p256KeyDer()
{
    const capsule::Key key(EVP_EC_gen("P-256"));
    return capsule::publicKeyDer(key);
}

const std::array<Corruption, 24> corruptions{{
    {"Empty", [] { return Bytes(); }},
    {"Garbage", [] { return Bytes(300, 0x5A); }},
    {"WrongMagic",
     [] {
         Bytes b = validManifest();
         std::memcpy(b.data(), "VDXN", 4);
         return b;
     }},
    {"RbuInsteadOfMagic",
     [] {
         Bytes b = validManifest();
         std::memcpy(b.data(), "$RBU", 4);
         return b;
     }},
    {"FormatVersionTwo",
     [] {
         Bytes b = validManifest();
         b[format::versionOffset] = 2;
         return b;
     }},
    {"ReservedNotZero",
     [] {
         Bytes b = validManifest();
         b[format::reservedOffset + 1] = 1;
         return b;
     }},
    {"KeyLengthZero",
     [] { return withLe16(validManifest(), format::keyLengthOffset, 0); }},
    {"KeyLengthOneShort",
     [] {
         return withLe16(validManifest(), format::keyLengthOffset,
                         static_cast<std::uint16_t>(keyLength() - 1));
     }},
    {"KeyLengthOneLong",
     [] {
         return withLe16(validManifest(), format::keyLengthOffset,
                         static_cast<std::uint16_t>(keyLength() + 1));
     }},
    {"KeyLengthOverBound",
     [] {
         Bytes b = withLe16(validManifest(), format::keyLengthOffset,
                            format::maxKeyLength + 1);
         b.resize(4 * format::maxManifestSize, 0);
         return b;
     }},
    {"KeyLengthMaximum",
     [] { return withLe16(validManifest(), format::keyLengthOffset, 0xFFFF); }},
    {"KeyLengthPastData",
     [] {
         return withLe16(validManifest(), format::keyLengthOffset,
                         format::maxKeyLength);
     }},
    {"SignatureLengthZero",
     [] { return withLe16(validManifest(), signatureLengthOffset(), 0); }},
    {"SignatureLengthOverBound",
     [] {
         Bytes b = withLe16(validManifest(), signatureLengthOffset(),
                            format::maxSignatureLength + 1);
         b.resize(4 * format::maxManifestSize, 0);
         return b;
     }},
    {"SignatureLengthMaximum",
     [] { return withLe16(validManifest(), signatureLengthOffset(), 0xFFFF); }},
    {"SignatureLengthPastData",
     [] {
         return withLe16(validManifest(), signatureLengthOffset(),
                         format::maxSignatureLength);
     }},
    {"SignatureLengthOneShortWithData",
     [] {
         Bytes b = validManifest();
         const std::size_t length =
             format::readLe16(b.data() + signatureLengthOffset());
         return withLe16(b, signatureLengthOffset(),
                         static_cast<std::uint16_t>(length - 1));
     }},
    {"SignatureLengthOneLongWithData",
     [] {
         Bytes b = validManifest();
         const std::size_t length =
             format::readLe16(b.data() + signatureLengthOffset());
         b.push_back(0);
         return withLe16(b, signatureLengthOffset(),
                         static_cast<std::uint16_t>(length + 1));
     }},
    {"SignedByAnotherRoot",
     [] {
         const capsule::Key otherRoot = capsule::generateP384Key();
         return capsule::buildManifest(otherRoot, imageKey(), 2);
     }},
    {"SignedByTheImageKey",
     [] { return capsule::buildManifest(imageKey(), imageKey(), 2); }},
    {"SignatureFromAnotherManifest",
     [] {
         // Same key, release type 1: its signature must not fit type 2.
         const Bytes other = capsule::buildManifest(rootKey(), imageKey(), 1);
         Bytes b = validManifest();
         b.resize(other.size());
         std::copy(other.begin() + static_cast<long>(signatureLengthOffset()),
                   other.end(),
                   b.begin() + static_cast<long>(signatureLengthOffset()));
         return b;
     }},
    {"KeyNotDer", [] { return signedWithKeyDer(Bytes(120, 0x30)); }},
    {"KeyWithTrailingByte",
     [] {
         Bytes der = capsule::publicKeyDer(imageKey());
         der.push_back(0);
         return signedWithKeyDer(der);
     }},
    {"KeyOnP256", [] { return signedWithKeyDer(p256KeyDer()); }},
}};

INSTANTIATE_TEST_SUITE_P(Table, CorruptionTest, testing::ValuesIn(corruptions),
                         corruptionName);

TEST(FwManifestTest, TrailingBytesAreImageDataNotManifest)
{
    // Whatever follows the manifest belongs to the image and is covered by
    // the image signature, not by the manifest: it does not matter here.
    Bytes bytes = validManifest();
    bytes.resize(bytes.size() + 4096, 0xA5);
    EXPECT_TRUE(verifies(bytes));
}

} // namespace
