#include "builder/capsule_image.hpp"

#include "builder/lzma_codec.hpp"
#include "handles/stdio.hpp"

#include <algorithm>
#include <cstdio>

namespace capsule
{
namespace
{

using namespace layout;

constexpr std::size_t rbuMinimumSize = rbuWordSize * rbuWordCount;

constexpr std::size_t streamChunk = std::size_t{1024} * 1024;

// The UEFI capsule header: EFI_CAPSULE_GUID, HeaderSize, Flags
// CAPSULE_FLAGS_PERSIST_ACROSS_RESET, CapsuleImageSize, zero fill.
Bytes uefiCapsuleHeader(std::uint32_t capsuleImageSize)
{
    Bytes header(uefiHeaderSize, 0);
    std::copy(uefi::capsuleGuid.begin(), uefi::capsuleGuid.end(),
              header.begin());
    writeLe32(header.data() + uefi::headerSizeOffset, uefiHeaderSize);
    writeLe32(header.data() + uefi::flagsOffset, uefi::persistAcrossReset);
    writeLe32(header.data() + uefi::imageSizeOffset, capsuleImageSize);
    return header;
}

Bytes padToSlot(Bytes signature)
{
    if (signature.empty() || signature.size() > signatureSlotSize)
    {
        return {};
    }
    signature.resize(signatureSlotSize, 0);
    return signature;
}

bool writeAll(std::FILE* file, const std::uint8_t* data, std::size_t size)
{
    return std::fwrite(data, 1, size, file) == size;
}

// Streams the signed part of an image (RBU header, manifest, payload) to
// `feed`; false when reading or feeding fails.
template <typename Feed>
bool streamSignedPart(std::FILE* payload, const Bytes& manifest,
                      const ImageLayout& image, Feed feed)
{
    const Bytes imageRbu = rbuHeader(image.rbuHeaderLength);
    if (!feed(imageRbu.data(), imageRbu.size()) ||
        !feed(manifest.data(), manifest.size()))
    {
        return false;
    }
    Bytes buffer(streamChunk);
    std::size_t count = 0;
    while ((count = std::fread(buffer.data(), 1, buffer.size(), payload)) != 0)
    {
        if (!feed(buffer.data(), count))
        {
            return false;
        }
    }
    return std::ferror(payload) == 0;
}

// The streaming half of packFile: writes everything after the UEFI header.
bool streamCapsuleBody(std::FILE* payload, const Bytes& manifest,
                       StreamSigner& signer, std::FILE* out,
                       const ImageLayout& image, const CapsuleLayout& capsule)
{
    const Bytes capsuleRbu = rbuHeader(capsule.rbuHeaderLength);
    if (!writeAll(out, capsuleRbu.data(), capsuleRbu.size()))
    {
        return false;
    }
    LzmaEncoder encoder(capsule.compressionPreset,
                        [out](const std::uint8_t* bytes, std::size_t size) {
                            return writeAll(out, bytes, size);
                        });
    const auto feed = [&](const std::uint8_t* data, std::size_t size) {
        return signer.update(data, size) && encoder.write(data, size);
    };
    if (!streamSignedPart(payload, manifest, image, feed))
    {
        return false;
    }
    const Bytes slot = padToSlot(signer.finish());
    return !slot.empty() && encoder.write(slot) && encoder.finish();
}

} // namespace

Bytes rbuHeader(std::uint8_t length)
{
    Bytes header(std::max<std::size_t>(length, rbuMinimumSize), 0);
    std::copy(rbuMagic.begin(), rbuMagic.end(), header.begin());
    header[rbuLengthOffset] = length;
    return header;
}

Bytes buildSignedPart(const Bytes& payload, const Bytes& manifest,
                      const ImageLayout& layout)
{
    Bytes image = rbuHeader(layout.rbuHeaderLength);
    image.reserve(image.size() + manifest.size() + payload.size() +
                  signatureSlotSize);
    append(image, manifest);
    append(image, payload);
    return image;
}

Bytes signatureSlot(const Bytes& signedData, const Key& imageKey)
{
    return padToSlot(
        signData(signedData.data(), signedData.size(), imageKey, EVP_sha512()));
}

Bytes buildImage(const Bytes& payload, const Bytes& manifest,
                 const Key& imageKey, const ImageLayout& layout)
{
    Bytes image = buildSignedPart(payload, manifest, layout);
    const Bytes slot = signatureSlot(image, imageKey);
    if (slot.empty())
    {
        return {};
    }
    append(image, slot);
    return image;
}

Bytes buildCapsule(const Bytes& image, const CapsuleLayout& layout)
{
    Bytes body = rbuHeader(layout.rbuHeaderLength);
    LzmaEncoder encoder(layout.compressionPreset,
                        [&body](const std::uint8_t* data, std::size_t size) {
                            body.insert(body.end(), data, data + size);
                            return true;
                        });
    if (!encoder.write(image) || !encoder.finish())
    {
        return {};
    }
    Bytes capsule = uefiCapsuleHeader(
        static_cast<std::uint32_t>(uefiHeaderSize + body.size()));
    append(capsule, body);
    return capsule;
}

Bytes digestSignedPart(const std::string& payloadPath, const Bytes& manifest,
                       const EVP_MD* digest, const ImageLayout& image)
{
    const FilePtr payload(std::fopen(payloadPath.c_str(), "rb"));
    const MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!payload || !ctx || EVP_DigestInit_ex(ctx.get(), digest, nullptr) != 1)
    {
        return {};
    }
    const auto feed = [&ctx](const std::uint8_t* data, std::size_t size) {
        return EVP_DigestUpdate(ctx.get(), data, size) == 1;
    };
    Bytes result(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (!streamSignedPart(payload.get(), manifest, image, feed) ||
        EVP_DigestFinal_ex(ctx.get(), result.data(), &length) != 1)
    {
        return {};
    }
    result.resize(length);
    return result;
}

bool packFile(const std::string& payloadPath, const Bytes& manifest,
              StreamSigner& signer, const std::string& outPath,
              const ImageLayout& image, const CapsuleLayout& capsule)
{
    bool done = false;
    {
        const FilePtr payload(std::fopen(payloadPath.c_str(), "rb"));
        FilePtr out(payload ? std::fopen(outPath.c_str(), "wb") : nullptr);
        if (!out)
        {
            return false;
        }
        const Bytes placeholder = uefiCapsuleHeader(0);
        done = writeAll(out.get(), placeholder.data(), placeholder.size()) &&
               streamCapsuleBody(payload.get(), manifest, signer, out.get(),
                                 image, capsule);
        const long total = done ? std::ftell(out.get()) : -1;
        done = total > 0 && std::fseek(out.get(), 0, SEEK_SET) == 0;
        if (done)
        {
            const Bytes header =
                uefiCapsuleHeader(static_cast<std::uint32_t>(total));
            done = writeAll(out.get(), header.data(), header.size());
        }
        done = std::fclose(out.release()) == 0 && done;
    }
    if (!done)
    {
        // The failure is already reported; a half-written output that
        // cannot be removed is overwritten by the next build.
        static_cast<void>(std::remove(outPath.c_str()));
    }
    return done;
}

} // namespace capsule
