// Firmware manifest reader and verifier (libvardex.so.9).
//
// The manifest layout is in vardex/manifest_format.hpp. A manifest is accepted
// only when every length field fits its bound and the data actually read, its
// root-of-trust signature verifies against the key built into this library,
// and the key it carries is an ECDSA P-384 SubjectPublicKeyInfo that is
// exactly as long as its length field says.

#include "vardex/fw_manifest.hpp"

#include "handles/openssl.hpp"
#include "manifest_root_key.hpp"
#include "vardex/manifest_format.hpp"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <cstring>
#include <memory>
#include <string_view>

namespace
{

namespace format = vardex::format;

// The only curve accepted for both the root key and the image key: its DER
// signatures fit the image's 104-byte signature slot.
constexpr std::string_view requiredCurve = "secp384r1";

// Appends exactly `count` bytes from the stream to `buffer`.
bool readExactly(std::FILE* stream, std::vector<std::uint8_t>& buffer,
                 std::size_t count)
{
    const std::size_t start = buffer.size();
    buffer.resize(start + count);
    return std::fread(buffer.data() + start, 1, count, stream) == count;
}

// A public key decoded from DER; empty unless the DER is well formed and is
// exactly `size` bytes long.
PkeyPtr decodePublicKey(const std::uint8_t* der, std::size_t size)
{
    const unsigned char* cursor = der;
    PkeyPtr key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(size)));
    if (!key || cursor != der + size)
    {
        return nullptr;
    }
    return key;
}

bool isP384Key(EVP_PKEY* key)
{
    if (EVP_PKEY_is_a(key, "EC") != 1)
    {
        return false;
    }
    std::array<char, 32> group{};
    std::size_t length = 0;
    if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME,
                                       group.data(), group.size(),
                                       &length) != 1)
    {
        return false;
    }
    return std::string_view(group.data(), length) == requiredCurve;
}

PkeyPtr rootKey()
{
    PkeyPtr key = decodePublicKey(vardex::manifestRootKeyDer.data(),
                                  vardex::manifestRootKeyDer.size());
    if (!key || !isP384Key(key.get()))
    {
        return nullptr;
    }
    return key;
}

bool rootSignatureValid(const std::uint8_t* data, std::size_t dataSize,
                        const std::uint8_t* signature,
                        std::size_t signatureSize)
{
    PkeyPtr key = rootKey();
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!key || !ctx)
    {
        return false;
    }
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha384(), nullptr,
                             key.get()) != 1)
    {
        return false;
    }
    return EVP_DigestVerify(ctx.get(), signature, signatureSize, data,
                            dataSize) == 1;
}

bool imageKeyValid(const std::uint8_t* der, std::size_t size)
{
    PkeyPtr key = decodePublicKey(der, size);
    return key && isP384Key(key.get());
}

// Reads the manifest from the stream into `manifest` with bounded reads.
// Returns false when the stream ends early or a field is out of bounds.
bool readManifest(std::FILE* stream, std::vector<std::uint8_t>& manifest)
{
    manifest.clear();
    manifest.reserve(format::maxManifestSize);
    if (!readExactly(stream, manifest, format::headerSize) ||
        !format::headerValid(manifest.data()))
    {
        return false;
    }
    const std::size_t keyLength =
        format::readLe16(manifest.data() + format::keyLengthOffset);
    if (!readExactly(stream, manifest, keyLength + format::lengthFieldSize))
    {
        return false;
    }
    const std::size_t signatureLength =
        format::readLe16(manifest.data() + format::headerSize + keyLength);
    if (!format::signatureLengthValid(signatureLength))
    {
        return false;
    }
    return readExactly(stream, manifest, signatureLength);
}

// Checks a manifest that readManifest accepted.
bool manifestAuthentic(const std::vector<std::uint8_t>& manifest)
{
    const std::size_t keyLength =
        format::readLe16(manifest.data() + format::keyLengthOffset);
    const std::size_t signedSize = format::headerSize + keyLength;
    const std::size_t signatureOffset = signedSize + format::lengthFieldSize;
    return rootSignatureValid(manifest.data(), signedSize,
                              manifest.data() + signatureOffset,
                              manifest.size() - signatureOffset) &&
           imageKeyValid(manifest.data() + format::headerSize, keyLength);
}

// The key record handed to the caller: host-order 16-bit length + DER.
void buildKeyRecord(const std::vector<std::uint8_t>& manifest,
                    std::vector<std::uint8_t>& record)
{
    const std::uint16_t keyLength =
        format::readLe16(manifest.data() + format::keyLengthOffset);
    record.resize(sizeof(keyLength) + keyLength);
    std::memcpy(record.data(), &keyLength, sizeof(keyLength));
    std::memcpy(record.data() + sizeof(keyLength),
                manifest.data() + format::headerSize, keyLength);
}

} // namespace

FwManifest::FwManifest(std::FILE* stream) : stream(stream)
{}

FwManifest::~FwManifest() = default;

const std::uint8_t* FwManifest::VerifyManifest()
{
    if (!keyRecord.empty())
    {
        return keyRecord.data();
    }
    if (stream == nullptr || !readManifest(stream, manifest) ||
        !manifestAuthentic(manifest))
    {
        manifest.clear();
        return nullptr;
    }
    buildKeyRecord(manifest, keyRecord);
    releaseType = manifest[format::releaseTypeOffset];
    return keyRecord.data();
}

std::uint8_t FwManifest::extractReleaseType()
{
    // Taken from the verified manifest held in memory, never from the
    // stream; nothing until VerifyManifest has succeeded.
    return keyRecord.empty() ? 0 : releaseType;
}
