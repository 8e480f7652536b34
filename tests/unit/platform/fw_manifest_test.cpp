// The manifest library under what no packed capsule carries: every changed
// byte and every truncation of a manifest, root-signed manifests with bad
// fields or keys that cannot sign images, and calls out of order.

#include "capsule_fixture.hpp"
#include "vardex/fw_manifest.hpp"
#include "vardex/manifest_format.hpp"

#include <openssl/ec.h>

namespace
{

using namespace fixture;
namespace format = vardex::format;

const Bytes& manifest()
{
    static const Bytes bytes = capsule::buildManifest(rootKey(), imageKey(), 2);
    return bytes;
}

// The DER of the key the library hands back for `bytes` (empty when it
// refuses them), after checking what it says of the release type.
Bytes handedBack(const Bytes& bytes)
{
    const FilePtr file = fileOf(bytes);
    FwManifest library(file.get());
    EXPECT_EQ(library.extractReleaseType(), 0) << "before verification";
    const std::uint8_t* record = library.VerifyManifest();
    if (record == nullptr)
    {
        EXPECT_EQ(library.extractReleaseType(), 0) << "after a refusal";
        return {};
    }
    EXPECT_EQ(library.VerifyManifest(), record) << "a second call";
    EXPECT_EQ(library.extractReleaseType(), 2);
    std::uint16_t length = 0;
    std::memcpy(&length, record, sizeof(length));
    return {record + sizeof(length), record + sizeof(length) + length};
}

std::size_t signedSize()
{
    return format::headerSize +
           format::readLe16(manifest().data() + format::keyLengthOffset);
}

// The manifest with one byte of its signed part set, signed anew by the root.
Bytes resigned(std::size_t offset, std::uint8_t value)
{
    Bytes bytes(manifest().begin(),
                manifest().begin() + static_cast<std::ptrdiff_t>(signedSize()));
    bytes[offset] = value;
    const Bytes signature =
        capsule::signData(bytes.data(), bytes.size(), rootKey(), EVP_sha384());
    bytes.resize(bytes.size() + format::lengthFieldSize);
    format::writeLe16(bytes.data() + signedSize(),
                      static_cast<std::uint16_t>(signature.size()));
    capsule::append(bytes, signature);
    return bytes;
}

TEST(FwManifest, HandsBackTheImageKey)
{
    const Bytes der = capsule::publicKeyDer(imageKey());
    EXPECT_EQ(handedBack(manifest()), der);
    EXPECT_EQ(handedBack(resigned(format::releaseTypeOffset, 2)), der);
    FwManifest noStream(nullptr);
    EXPECT_EQ(noStream.VerifyManifest(), nullptr);
}

TEST(FwManifest, RefusesEveryChangedByteAndEveryTruncation)
{
    for (std::size_t offset = 0; offset < manifest().size(); ++offset)
    {
        for (const std::uint8_t mask : {0x01, 0x80, 0xFF})
        {
            Bytes changed = manifest();
            changed[offset] ^= mask;
            EXPECT_EQ(handedBack(changed), Bytes()) << offset << "^" << +mask;
        }
        const Bytes truncated(manifest().begin(),
                              manifest().begin() +
                                  static_cast<std::ptrdiff_t>(offset));
        EXPECT_EQ(handedBack(truncated), Bytes()) << "size " << offset;
    }
}

Bytes withLe16(std::size_t offset, std::uint16_t value)
{
    Bytes bytes = manifest();
    format::writeLe16(bytes.data() + offset, value);
    return bytes;
}

Bytes rootSignedKey(const capsule::Key& key, bool trailingByte = false)
{
    Bytes der = capsule::publicKeyDer(key);
    der.resize(der.size() + (trailingByte ? 1 : 0));
    return capsule::buildManifestFromDer(rootKey(), der, 2);
}

TEST(FwManifest, RefusesWhatItsRootSignedIfNotAValidManifest)
{
    const std::vector<std::pair<const char*, Bytes>> refused{
        {"magic", resigned(format::magicOffset + 3, 'N')},
        {"first magic byte", resigned(format::magicOffset, 'W')},
        {"version 0", resigned(format::versionOffset, 0)},
        {"version 2", resigned(format::versionOffset, 2)},
        {"first reserved byte", resigned(format::reservedOffset, 1)},
        {"second reserved byte", resigned(format::reservedOffset + 1, 1)},
        {"key length 0", withLe16(format::keyLengthOffset, 0)},
        {"signature length 0", withLe16(signedSize(), 0)},
        {"key not DER",
         capsule::buildManifestFromDer(rootKey(), Bytes(120, 0x30), 2)},
        {"key with a trailing byte", rootSignedKey(imageKey(), true)},
        {"key on P-256", rootSignedKey(capsule::Key(EVP_EC_gen("P-256")))},
        {"key not EC", rootSignedKey(capsule::Key(
                           EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")))},
    };
    for (const auto& [name, bytes] : refused)
    {
        EXPECT_EQ(handedBack(bytes), Bytes()) << name;
    }
}

} // namespace
