#include "capsule_builder.hpp"

#include "handles/stdio.hpp"
#include "vardex/manifest_format.hpp"

#include <lzma.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <utility>

#ifndef CAPSULE_DEVELOPMENT_KEY_DIR
#error "CAPSULE_DEVELOPMENT_KEY_DIR must name keys/development"
#endif

namespace capsule
{
namespace
{

namespace format = vardex::format;

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

void append(Bytes& to, const Bytes& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

// Where compressed or decompressed bytes go; false stops the stream.
using Sink = std::function<bool(const std::uint8_t*, std::size_t)>;

struct LzmaStream
{
    lzma_stream stream = LZMA_STREAM_INIT;
    LzmaStream() = default;
    LzmaStream(const LzmaStream&) = delete;
    LzmaStream& operator=(const LzmaStream&) = delete;
    ~LzmaStream()
    {
        lzma_end(&stream);
    }
};

// Runs `action` over the input until it is used up (LZMA_RUN) or the stream
// ends (LZMA_FINISH), handing every filled output buffer to the sink.
bool pumpLzma(lzma_stream& stream, const std::uint8_t* data, std::size_t size,
              lzma_action action, const Sink& sink)
{
    std::array<std::uint8_t, std::size_t{64} * 1024> out{};
    stream.next_in = data;
    stream.avail_in = size;
    while (true)
    {
        stream.next_out = out.data();
        stream.avail_out = out.size();
        const lzma_ret ret = lzma_code(&stream, action);
        const std::size_t produced = out.size() - stream.avail_out;
        if (produced != 0 && !sink(out.data(), produced))
        {
            return false;
        }
        if (ret == LZMA_STREAM_END)
        {
            return true;
        }
        if (ret != LZMA_OK)
        {
            return false;
        }
        if (action == LZMA_RUN && stream.avail_in == 0)
        {
            return true;
        }
    }
}

// Legacy .lzma encoder (the format "xz -d file.lzma" expects).
class LzmaEncoder
{
  public:
    LzmaEncoder(std::uint32_t preset, Sink sink) : sink(std::move(sink))
    {
        lzma_options_lzma options{};
        ready = lzma_lzma_preset(&options, preset) == 0 &&
                lzma_alone_encoder(&lzma.stream, &options) == LZMA_OK;
    }

    bool write(const std::uint8_t* data, std::size_t size)
    {
        return ready && pumpLzma(lzma.stream, data, size, LZMA_RUN, sink);
    }

    bool write(const Bytes& data)
    {
        return write(data.data(), data.size());
    }

    bool finish()
    {
        return ready && pumpLzma(lzma.stream, nullptr, 0, LZMA_FINISH, sink);
    }

  private:
    LzmaStream lzma;
    Sink sink;
    bool ready = false;
};

Bytes rbuHeaderWithMagic(std::uint8_t length)
{
    Bytes header(std::max<std::size_t>(length, rbuMinimumSize), 0);
    std::copy(rbuMagic.begin(), rbuMagic.end(), header.begin());
    header[rbuLengthOffset] = length;
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

MdCtxPtr signingContext(const Key& key, const EVP_MD* digest)
{
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || !key ||
        EVP_DigestSignInit(ctx.get(), nullptr, digest, nullptr, key.get()) != 1)
    {
        return nullptr;
    }
    return ctx;
}

Bytes finishSignature(EVP_MD_CTX* ctx)
{
    std::size_t length = 0;
    if (EVP_DigestSignFinal(ctx, nullptr, &length) != 1)
    {
        return {};
    }
    Bytes signature(length);
    if (EVP_DigestSignFinal(ctx, signature.data(), &length) != 1)
    {
        return {};
    }
    signature.resize(length);
    return signature;
}

bool writeAll(std::FILE* file, const std::uint8_t* data, std::size_t size)
{
    return std::fwrite(data, 1, size, file) == size;
}

} // namespace

// ---- Keys -----------------------------------------------------------------

Key loadPrivateKey(const std::string& pemPath)
{
    FilePtr file(std::fopen(pemPath.c_str(), "rb"));
    if (!file)
    {
        return nullptr;
    }
    return Key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
}

Key loadPublicKey(const std::string& pemPath)
{
    FilePtr file(std::fopen(pemPath.c_str(), "rb"));
    if (!file)
    {
        return nullptr;
    }
    return Key(PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr));
}

Key generateP384Key()
{
    return Key(EVP_EC_gen("P-384"));
}

Bytes publicKeyDer(const EVP_PKEY* key)
{
    if (key == nullptr)
    {
        return {};
    }
    const int length = i2d_PUBKEY(key, nullptr);
    if (length <= 0)
    {
        return {};
    }
    Bytes der(static_cast<std::size_t>(length));
    unsigned char* cursor = der.data();
    if (i2d_PUBKEY(key, &cursor) != length)
    {
        return {};
    }
    return der;
}

std::string keyFingerprint(const Bytes& publicKeyDer)
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(publicKeyDer.data(), publicKeyDer.size(), digest.data(),
                   &length, EVP_sha256(), nullptr) != 1)
    {
        return {};
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i)
    {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0x0F];
    }
    return text;
}

std::string developmentKeyPath(const std::string& name)
{
    return std::string(CAPSULE_DEVELOPMENT_KEY_DIR) + "/" + name;
}

std::string developmentRootKeyPath()
{
    return developmentKeyPath("manifest_root_private.pem");
}

std::string developmentImageKeyPath()
{
    return developmentKeyPath("image_signing_private.pem");
}

// ---- Signatures -----------------------------------------------------------

Bytes signData(const std::uint8_t* data, std::size_t size, const Key& key,
               const EVP_MD* digest)
{
    MdCtxPtr ctx = signingContext(key, digest);
    if (!ctx || EVP_DigestSignUpdate(ctx.get(), data, size) != 1)
    {
        return {};
    }
    return finishSignature(ctx.get());
}

// ---- Manifest -------------------------------------------------------------

Bytes buildManifestFromDer(const Key& rootKey, const Bytes& imageKeyDer,
                           std::uint8_t releaseType)
{
    if (!format::keyLengthValid(imageKeyDer.size()))
    {
        return {};
    }
    Bytes manifest(format::headerSize, 0);
    std::copy(format::magic.begin(), format::magic.end(), manifest.begin());
    manifest[format::versionOffset] = format::version;
    manifest[format::releaseTypeOffset] = releaseType;
    format::writeLe16(manifest.data() + format::keyLengthOffset,
                      static_cast<std::uint16_t>(imageKeyDer.size()));
    append(manifest, imageKeyDer);

    const Bytes signature =
        signData(manifest.data(), manifest.size(), rootKey, EVP_sha384());
    if (!format::signatureLengthValid(signature.size()))
    {
        return {};
    }
    std::array<std::uint8_t, format::lengthFieldSize> length{};
    format::writeLe16(length.data(),
                      static_cast<std::uint16_t>(signature.size()));
    manifest.insert(manifest.end(), length.begin(), length.end());
    append(manifest, signature);
    return manifest;
}

Bytes buildManifest(const Key& rootKey, const Key& imageKey,
                    std::uint8_t releaseType)
{
    const Bytes der = publicKeyDer(imageKey);
    if (der.empty())
    {
        return {};
    }
    return buildManifestFromDer(rootKey, der, releaseType);
}

std::optional<ManifestFields> parseManifest(const std::uint8_t* data,
                                            std::size_t size)
{
    if (data == nullptr || size < format::headerSize ||
        !format::headerValid(data))
    {
        return std::nullopt;
    }
    ManifestFields fields;
    fields.formatVersion = data[format::versionOffset];
    fields.releaseType = data[format::releaseTypeOffset];
    fields.keyOffset = format::headerSize;
    fields.keyLength = format::readLe16(data + format::keyLengthOffset);
    const std::size_t signatureLengthOffset =
        fields.keyOffset + fields.keyLength;
    if (size < signatureLengthOffset + format::lengthFieldSize)
    {
        return std::nullopt;
    }
    fields.signatureOffset = signatureLengthOffset + format::lengthFieldSize;
    fields.signatureLength = format::readLe16(data + signatureLengthOffset);
    if (!format::signatureLengthValid(fields.signatureLength) ||
        size < fields.signatureOffset + fields.signatureLength)
    {
        return std::nullopt;
    }
    fields.totalLength = fields.signatureOffset + fields.signatureLength;
    return fields;
}

// ---- Image ----------------------------------------------------------------

std::uint32_t readLe32(const Bytes& bytes, std::size_t offset)
{
    return layout::readLe32(bytes.data() + offset);
}

Bytes rbuHeader(std::uint8_t length)
{
    return rbuHeaderWithMagic(length);
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

// ---- Capsule --------------------------------------------------------------

Bytes uefiCapsuleHeader(std::uint32_t capsuleImageSize)
{
    Bytes header(uefiHeaderSize, 0);
    std::copy(efiCapsuleGuid.begin(), efiCapsuleGuid.end(), header.begin());
    writeLe32(header.data() + headerSizeOffset, uefiHeaderSize);
    writeLe32(header.data() + flagsOffset, capsuleFlagsPersistAcrossReset);
    writeLe32(header.data() + imageSizeOffset, capsuleImageSize);
    return header;
}

Bytes compress(const Bytes& data, std::uint32_t preset)
{
    Bytes out;
    LzmaEncoder encoder(preset,
                        [&out](const std::uint8_t* bytes, std::size_t size) {
                            out.insert(out.end(), bytes, bytes + size);
                            return true;
                        });
    if (!encoder.write(data) || !encoder.finish())
    {
        return {};
    }
    return out;
}

std::optional<Bytes> decompress(const Bytes& data)
{
    LzmaStream lzma;
    if (lzma_auto_decoder(&lzma.stream, UINT64_MAX, 0) != LZMA_OK)
    {
        return std::nullopt;
    }
    Bytes out;
    const bool done =
        pumpLzma(lzma.stream, data.data(), data.size(), LZMA_FINISH,
                 [&out](const std::uint8_t* bytes, std::size_t size) {
                     out.insert(out.end(), bytes, bytes + size);
                     return true;
                 });
    if (!done)
    {
        return std::nullopt;
    }
    return out;
}

bool decompressStream(std::FILE* in, std::FILE* out)
{
    LzmaStream lzma;
    if (lzma_auto_decoder(&lzma.stream, UINT64_MAX, 0) != LZMA_OK)
    {
        return false;
    }
    const Sink sink = [out](const std::uint8_t* bytes, std::size_t size) {
        return writeAll(out, bytes, size);
    };
    Bytes buffer(streamChunk);
    while (true)
    {
        const std::size_t count =
            std::fread(buffer.data(), 1, buffer.size(), in);
        if (count == 0)
        {
            return std::ferror(in) == 0 &&
                   pumpLzma(lzma.stream, nullptr, 0, LZMA_FINISH, sink);
        }
        if (!pumpLzma(lzma.stream, buffer.data(), count, LZMA_RUN, sink))
        {
            return false;
        }
    }
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

Bytes buildCapsuleFromPayload(const Bytes& payload, const Key& rootKey,
                              const Key& imageKey, std::uint8_t releaseType,
                              const ImageLayout& image,
                              const CapsuleLayout& capsule)
{
    const Bytes manifest = buildManifest(rootKey, imageKey, releaseType);
    if (manifest.empty())
    {
        return {};
    }
    const Bytes built = buildImage(payload, manifest, imageKey, image);
    if (built.empty())
    {
        return {};
    }
    return buildCapsule(built, capsule);
}

namespace
{

// The streaming half of packFile: writes everything after the UEFI header.
bool streamCapsuleBody(std::FILE* payload, const Bytes& manifest,
                       const Key& imageKey, std::FILE* out,
                       const ImageLayout& image, const CapsuleLayout& capsule)
{
    const Bytes capsuleRbu = rbuHeader(capsule.rbuHeaderLength);
    if (!writeAll(out, capsuleRbu.data(), capsuleRbu.size()))
    {
        return false;
    }
    MdCtxPtr signer = signingContext(imageKey, EVP_sha512());
    if (!signer)
    {
        return false;
    }
    LzmaEncoder encoder(capsule.compressionPreset,
                        [out](const std::uint8_t* bytes, std::size_t size) {
                            return writeAll(out, bytes, size);
                        });
    const auto feed = [&](const std::uint8_t* data, std::size_t size) {
        return EVP_DigestSignUpdate(signer.get(), data, size) == 1 &&
               encoder.write(data, size);
    };
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
    if (std::ferror(payload) != 0)
    {
        return false;
    }
    const Bytes slot = padToSlot(finishSignature(signer.get()));
    return !slot.empty() && encoder.write(slot) && encoder.finish();
}

} // namespace

bool packFile(const std::string& payloadPath, const Bytes& manifest,
              const Key& imageKey, const std::string& outPath,
              const ImageLayout& image, const CapsuleLayout& capsule)
{
    bool done = false;
    {
        FilePtr payload(std::fopen(payloadPath.c_str(), "rb"));
        FilePtr out(payload ? std::fopen(outPath.c_str(), "wb") : nullptr);
        if (!out)
        {
            return false;
        }
        const Bytes placeholder = uefiCapsuleHeader(0);
        done = writeAll(out.get(), placeholder.data(), placeholder.size()) &&
               streamCapsuleBody(payload.get(), manifest, imageKey, out.get(),
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
