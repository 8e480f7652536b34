#include "update/verify_image.hpp"

#include "capsule/layout.hpp"
#include "diag.hpp"
#include "handles/openssl.hpp"
#include "vardex/fw_manifest.hpp"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

namespace update
{
namespace
{

using namespace capsule::layout;

// The signature slot's size in the image's 32-bit arithmetic.
constexpr std::uint32_t slotSize = signatureSlotSize;

constexpr int verifiedResult = 0;
constexpr int failedResult = -1;

// Decodes the DER SubjectPublicKeyInfo behind the record's 16-bit length.
PkeyPtr decodeKeyRecord(const std::uint8_t* keyRecord)
{
    std::uint16_t length = 0;
    std::memcpy(&length, keyRecord, sizeof(length));
    const unsigned char* der = keyRecord + sizeof(length);
    return PkeyPtr(d2i_PUBKEY(nullptr, &der, length));
}

// Feeds the image up to its signature slot into the digest.
bool digestImageData(EVP_MD_CTX* digest, std::FILE* image, std::uint32_t size,
                     std::uint8_t* buffer)
{
    // Wraps for images shorter than the slot; the first read then comes up
    // short.
    std::uint32_t remaining = size - slotSize;
    while (remaining != 0)
    {
        const std::uint32_t chunk =
            remaining <= streamBufferSize ? remaining : streamBufferSize;
        if (std::fread(buffer, 1, chunk, image) != chunk)
        {
            diag::fail(lines::imageDataUnread);
            return false;
        }
        if (EVP_DigestVerifyUpdate(digest, buffer, chunk) <= 0)
        {
            diag::fail(lines::digestUpdateFailed);
            return false;
        }
        remaining -= chunk;
    }
    return true;
}

// Reads the signature slot at the stream's position into buffer; the length
// of the signature in it, or nothing once the failure has been written.
std::optional<std::size_t> readSignatureSlot(std::FILE* image,
                                             std::uint8_t* buffer)
{
    if (std::fread(buffer, 1, signatureSlotSize, image) != signatureSlotSize)
    {
        diag::fail(lines::signatureUnread);
        return std::nullopt;
    }
    return derSignatureLength(buffer[derLengthOffset]);
}

// Reports a signature that was not accepted.
bool signatureAccepted(bool accepted)
{
    if (!accepted)
    {
        diag::fail(lines::digestFinalFailed);
    }
    return accepted;
}

// Reads the signature slot that follows the data and checks it against the
// digest. A signature is taken only from the slot's own bytes: one whose
// length reaches past the slot is refused like one that does not verify.
bool checkSignatureSlot(EVP_MD_CTX* digest, std::FILE* image,
                        std::uint8_t* buffer)
{
    const std::optional<std::size_t> length = readSignatureSlot(image, buffer);
    return length && signatureAccepted(
                         *length <= signatureSlotSize &&
                         EVP_DigestVerifyFinal(digest, buffer, *length) == 1);
}

// True when the signature can be checked against signedBytes: it covers
// every byte before the slot, and the key is one whose signature is over
// the SHA-512 digest itself (ECDSA).
bool digestUsable(const ImageDigest* signedBytes, std::uint32_t size,
                  EVP_PKEY* key)
{
    return signedBytes != nullptr && size >= slotSize &&
           signedBytes->length == size - slotSize &&
           EVP_PKEY_get_base_id(key) == EVP_PKEY_EC;
}

// The signature check against the digest of the signed bytes, taken while
// the image was written: the same steps, lines and verdict as reading them,
// without the read.
int verifyDigest(EVP_PKEY* key, std::FILE* image, std::uint32_t size,
                 const ImageDigest& signedBytes)
{
    const PkeyCtxPtr verifier(EVP_PKEY_CTX_new(key, nullptr));
    if (!verifier)
    {
        diag::fail(lines::noDigestContext);
        return failedResult;
    }
    if (EVP_PKEY_verify_init(verifier.get()) <= 0 ||
        EVP_PKEY_CTX_set_signature_md(verifier.get(), EVP_sha512()) <= 0)
    {
        diag::fail(lines::digestInitFailed);
        return failedResult;
    }
    if (std::fseek(image, static_cast<long>(size - slotSize), SEEK_SET) != 0)
    {
        diag::fail(lines::imageStartUnreached);
        return failedResult;
    }
    std::array<std::uint8_t, signatureSlotSize> slot{};
    const std::optional<std::size_t> length =
        readSignatureSlot(image, slot.data());
    if (!length)
    {
        return failedResult;
    }
    return signatureAccepted(*length <= signatureSlotSize &&
                             EVP_PKEY_verify(verifier.get(), slot.data(),
                                             *length, signedBytes.sha512.data(),
                                             signedBytes.sha512.size()) == 1)
               ? verifiedResult
               : failedResult;
}

} // namespace

int signature_verify(std::FILE* image, std::uint32_t size,
                     const std::uint8_t* keyRecord,
                     const ImageDigest* signedBytes)
{
    // Declared first so that it is released last, after the context and the
    // key.
    StreamBuffer buffer;

    const PkeyPtr key = decodeKeyRecord(keyRecord);
    if (!key)
    {
        diag::fail(lines::noPublicKey);
        return failedResult;
    }
    if (digestUsable(signedBytes, size, key.get()))
    {
        return verifyDigest(key.get(), image, size, *signedBytes);
    }
    const MdCtxPtr digest(EVP_MD_CTX_new());
    if (!digest)
    {
        diag::fail(lines::noDigestContext);
        return failedResult;
    }
    if (EVP_DigestVerifyInit(digest.get(), nullptr, EVP_sha512(), nullptr,
                             key.get()) <= 0)
    {
        diag::fail(lines::digestInitFailed);
        return failedResult;
    }
    if (std::fseek(image, 0, SEEK_SET) != 0)
    {
        diag::fail(lines::imageStartUnreached);
        return failedResult;
    }
    buffer = allocateStreamBuffer();
    if (!buffer)
    {
        diag::fail(lines::noDigestBuffer);
        return failedResult;
    }
    if (!digestImageData(digest.get(), image, size, buffer.get()) ||
        !checkSignatureSlot(digest.get(), image, buffer.get()))
    {
        return failedResult;
    }
    return verifiedResult;
}

bool verifyBiosImage(BiosImageContext& ctx)
{
    if (std::fseek(ctx.file.get(), 0, SEEK_SET) != 0)
    {
        diag::fail(lines::imageSeekFailed);
        return false;
    }
    RbuHeaderWords rbuHeader{};
    if (std::fread(rbuHeader.data(), rbuWordSize, rbuWordCount,
                   ctx.file.get()) != rbuWordCount)
    {
        diag::fail(lines::rbuUnread);
        return false;
    }
    if (std::memcmp(rbuHeader.data(), rbuMagic.data(), rbuMagic.size()) != 0)
    {
        diag::fail(lines::noRbuInImage);
        return false;
    }
    ctx.rbuHeaderSize = rbuHeader[rbuLengthOffset];
    // A header longer than the image cannot be skipped within it.
    if (ctx.rbuHeaderSize > ctx.imageSize ||
        std::fseek(ctx.file.get(), static_cast<long>(ctx.rbuHeaderSize),
                   SEEK_SET) != 0)
    {
        diag::fail(lines::imageRbuNotSkipped);
        return false;
    }

    FwManifest manifest(ctx.file.get());
    const std::uint8_t* keyRecord = manifest.VerifyManifest();
    if (keyRecord == nullptr)
    {
        diag::fail(lines::manifestRefused);
        return false;
    }
    diag::info(lines::manifestVerified);

    if (signature_verify(ctx.file.get(), ctx.imageSize, keyRecord,
                         ctx.imageDigest ? &*ctx.imageDigest : nullptr) != 0)
    {
        diag::fail(lines::signatureRefused);
        return false;
    }
    diag::info(lines::signatureVerified);

    const std::uint8_t releaseType = manifest.extractReleaseType();
    if (releaseType == 0)
    {
        diag::fail(lines::noReleaseType);
        return false;
    }
    ctx.releaseType = releaseType;
    ctx.verified = true;
    return true;
}

} // namespace update
