// The manifest library under what no packed capsule carries: every changed
// byte and every truncation of a manifest, zero lengths, keys that its root
// signed but that cannot sign images, and calls out of order.

#include "capsule_fixture.hpp"
#include "platform/fw_manifest.hpp"
#include "vardex/manifest_format.hpp"

#include <openssl/ec.h>

#include <functional>

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

TEST(FwManifest, HandsBackTheImageKey)
{
    EXPECT_EQ(handedBack(manifest()), capsule::publicKeyDer(imageKey()));
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

Bytes rootSignedKey(const Bytes& der)
{
    return capsule::buildManifestFromDer(rootKey(), der, 2);
}

Bytes publicKeyOf(const capsule::Key& key)
{
    return capsule::publicKeyDer(key);
}

struct Refusal
{
    const char* name;
    std::function<Bytes()> manifest;
};

class Refused : public testing::TestWithParam<Refusal>
{};

TEST_P(Refused, NoKeyIsHandedBack)
{
    EXPECT_EQ(handedBack(GetParam().manifest()), Bytes());
}

INSTANTIATE_TEST_SUITE_P(
    Manifests, Refused,
    testing::Values(
        Refusal{"KeyLengthZero",
                [] { return withLe16(format::keyLengthOffset, 0); }},
        Refusal{"SignatureLengthZero",
                [] {
                    return withLe16(
                        format::headerSize +
                            format::readLe16(manifest().data() +
                                             format::keyLengthOffset),
                        0);
                }},
        Refusal{"KeyNotDer", [] { return rootSignedKey(Bytes(120, 0x30)); }},
        Refusal{"KeyWithTrailingByte",
                [] {
                    Bytes der = publicKeyOf(imageKey());
                    der.push_back(0);
                    return rootSignedKey(der);
                }},
        Refusal{"KeyOnP256",
                [] {
                    return rootSignedKey(
                        publicKeyOf(capsule::Key(EVP_EC_gen("P-256"))));
                }},
        Refusal{"KeyNotEc",
                [] {
                    return rootSignedKey(publicKeyOf(capsule::Key(
                        EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"))));
                }}),
    [](const testing::TestParamInfo<Refusal>& info) {
        return std::string(info.param.name);
    });

} // namespace
