#include "capsule_tool/inspect_reading.hpp"

#include "builder/keys.hpp"
#include "builder/manifest.hpp"
#include "capsule/layout.hpp"
#include "vardex/manifest_format.hpp"

#include <algorithm>
#include <array>
#include <string>

namespace capsule_tool
{
namespace
{

namespace layout = capsule::layout;
namespace uefi = capsule::layout::uefi;

// Reads up to `size` bytes at `offset`; fewer when the file is shorter.
Bytes readAt(std::FILE* file, long offset, std::size_t size)
{
    Bytes bytes(size);
    if (std::fseek(file, offset, SEEK_SET) != 0)
    {
        return {};
    }
    bytes.resize(std::fread(bytes.data(), 1, size, file));
    return bytes;
}

std::string guidText(const Bytes& bytes)
{
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(),
                  "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  layout::readLe32(bytes.data()), bytes[4] | (bytes[5] << 8),
                  bytes[6] | (bytes[7] << 8), bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text.data();
}

RbuInfo rbuInfo(const Bytes& bytes)
{
    RbuInfo info;
    if (bytes.size() >= sizeof(layout::RbuHeaderWords))
    {
        info.present = std::equal(layout::rbuMagic.begin(),
                                  layout::rbuMagic.end(), bytes.begin());
        info.length = bytes[layout::rbuLengthOffset];
    }
    return info;
}

} // namespace

void describeCapsule(std::FILE* file, Report& report)
{
    const Bytes head = readAt(
        file, 0, layout::uefiHeaderSize + sizeof(layout::RbuHeaderWords));
    if (head.size() >= uefi::fieldsEnd)
    {
        report.hasUefiHeader = true;
        report.guid = guidText(head);
        report.headerSize =
            layout::readLe32(head.data() + uefi::headerSizeOffset);
        report.flags = layout::readLe32(head.data() + uefi::flagsOffset);
        report.capsuleImageSize =
            layout::readLe32(head.data() + uefi::imageSizeOffset);
    }
    if (head.size() > layout::uefiHeaderSize)
    {
        report.capsuleRbu =
            rbuInfo(Bytes(head.begin() + layout::uefiHeaderSize, head.end()));
    }
}

void describeImage(std::FILE* image, std::uint32_t size, Report& report)
{
    report.unwrapped = true;
    report.imageSize = size;
    report.imageRbu = rbuInfo(readAt(image, 0, sizeof(layout::RbuHeaderWords)));
    if (!report.imageRbu.present)
    {
        return;
    }
    const Bytes manifest =
        readAt(image, report.imageRbu.length, vardex::format::maxManifestSize);
    if (const auto fields =
            capsule::parseManifest(manifest.data(), manifest.size()))
    {
        const Bytes key(
            manifest.begin() + static_cast<long>(fields->keyOffset),
            manifest.begin() +
                static_cast<long>(fields->keyOffset + fields->keyLength));
        report.manifest = ManifestInfo{
            *fields, capsule::keyFingerprint(key),
            Bytes(manifest.begin(),
                  manifest.begin() + static_cast<long>(fields->totalLength)),
            std::nullopt};
    }
    if (size < layout::signatureSlotSize)
    {
        return;
    }
    const std::size_t signedSize = size - layout::signatureSlotSize;
    const Bytes slot = readAt(image, static_cast<long>(signedSize),
                              layout::derLengthOffset + 1);
    if (slot.size() == layout::derLengthOffset + 1)
    {
        const std::size_t front =
            report.imageRbu.length +
            (report.manifest ? report.manifest->fields.totalLength : 0);
        report.slot = SlotInfo{static_cast<unsigned>(layout::derSignatureLength(
                                   slot[layout::derLengthOffset])),
                               signedSize > front ? signedSize - front : 0};
    }
}

void identifyRoot(const Bytes& trusted, Report& report)
{
    const Bytes development = capsule::developmentRootDer();
    for (const Bytes* root : {&trusted, &development})
    {
        if (report.manifest && manifestVerifies(report.manifest->bytes, *root))
        {
            report.manifest->root =
                RootInfo{capsule::keyFingerprint(*root),
                         isDevelopmentRoot(*root), root == &trusted};
            return;
        }
    }
}

} // namespace capsule_tool
