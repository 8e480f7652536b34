#include "builder/manifest.hpp"

#include "vardex/manifest_format.hpp"

#include <algorithm>
#include <array>

namespace capsule
{

namespace format = vardex::format;

Bytes manifestSignedPart(const Bytes& imageKeyDer, std::uint8_t releaseType)
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
    return manifest;
}

Bytes completeManifest(Bytes signedPart, const Bytes& signature)
{
    if (signedPart.empty() || !format::signatureLengthValid(signature.size()))
    {
        return {};
    }
    std::array<std::uint8_t, format::lengthFieldSize> length{};
    format::writeLe16(length.data(),
                      static_cast<std::uint16_t>(signature.size()));
    signedPart.insert(signedPart.end(), length.begin(), length.end());
    append(signedPart, signature);
    return signedPart;
}

Bytes buildManifestFromDer(const Key& rootKey, const Bytes& imageKeyDer,
                           std::uint8_t releaseType)
{
    const Bytes signedPart = manifestSignedPart(imageKeyDer, releaseType);
    return completeManifest(
        signedPart,
        signData(signedPart.data(), signedPart.size(), rootKey, EVP_sha384()));
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

} // namespace capsule
