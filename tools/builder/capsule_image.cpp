#include "builder/capsule_image.hpp"

#include "builder/lzma_codec.hpp"
#include "handles/stdio.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

namespace capsule
{
namespace
{

using namespace layout;

constexpr std::size_t rbuMinimumSize = rbuWordSize * rbuWordCount;

// EFI_CAPSULE_GUID {3B6686BD-0D76-4030-B70E-B5519E2FC5A0} in memory order.
constexpr std::array<std::uint8_t, 16> efiCapsuleGuid = {
    0xBD, 0x86, 0x66, 0x3B, 0x76, 0x0D, 0x30, 0x40,
    0xB7, 0x0E, 0xB5, 0x51, 0x9E, 0x2F, 0xC5, 0xA0};
constexpr std::uint32_t capsuleFlagsPersistAcrossReset = 0x00010000;
constexpr std::size_t headerSizeOffset = 16;
constexpr std::size_t flagsOffset = 20;
constexpr std::size_t imageSizeOffset = 24;

constexpr std::size_t streamChunk = std::size_t{1024} * 1024;

void writeLe32(std::uint8_t* bytes, std::uint32_t value)
{
    for (std::size_t i = 0; i < 4; ++i)
    {
        bytes[i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF);
    }
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

std::uint32_t readLe32(const Bytes& bytes, std::size_t offset)
{
    return layout::readLe32(bytes.data() + offset);
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

Bytes uefiCapsuleHeader(std::uint32_t capsuleImageSize)
{
    Bytes header(uefiHeaderSize, 0);
    std::copy(efiCapsuleGuid.begin(), efiCapsuleGuid.end(), header.begin());
    writeLe32(header.data() + headerSizeOffset, uefiHeaderSize);
    writeLe32(header.data() + flagsOffset, capsuleFlagsPersistAcrossReset);
    writeLe32(header.data() + imageSizeOffset, capsuleImageSize);
    return header;
}

Bytes buildCapsule(const Bytes& image, const CapsuleLayout& layout)
{
    const Bytes body = compress(image, layout.compressionPreset);
    if (body.empty())
    {
        return {};
    }
    const Bytes rbu = rbuHeader(layout.rbuHeaderLength);
    const std::size_t total = uefiHeaderSize + rbu.size() + body.size();
    Bytes capsule = uefiCapsuleHeader(static_cast<std::uint32_t>(total));
    capsule.reserve(total);
    append(capsule, rbu);
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
        std::remove(outPath.c_str());
    }
    return done;
}

} // namespace capsule
