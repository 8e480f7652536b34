// Whole capsules unwrapped and verified in a private scratch area, as an
// update does: the lines each one brings out (those of xz included), the
// verdict and release type, and what the image context leaves in the
// scratch area when it ends.

#include "builder/lzma_codec.hpp"
#include "capsule_fixture.hpp"
#include "update/verify_image.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace
{

using namespace fixture;
namespace layout = capsule::layout;

constexpr std::size_t uefi = layout::uefiHeaderSize;
constexpr std::size_t slot = layout::signatureSlotSize;
constexpr std::uint8_t production = 2;

// A signed image of 5000 data bytes whose manifest `root` signs.
Bytes image(std::uint8_t releaseType = production,
            std::uint8_t rbuLength = 16, const capsule::Key& root = rootKey())
{
    return capsule::buildImage(
        Bytes(5000, 0x5A),
        capsule::buildManifest(root, imageKey(), releaseType), imageKey(),
        {rbuLength});
}

// The image compressed behind a zero UEFI header and a capsule RBU header.
Bytes wrap(const Bytes& image, std::uint8_t rbuLength = 16)
{
    Bytes out(uefi, 0);
    capsule::append(out, capsule::rbuHeader(rbuLength));
    capsule::LzmaEncoder encoder(
        6, [&out](const std::uint8_t* data, std::size_t size) {
            out.insert(out.end(), data, data + size);
            return true;
        });
    EXPECT_TRUE(encoder.write(image) && encoder.finish());
    return out;
}

Bytes flipped(Bytes bytes, std::size_t offset, std::uint8_t mask = 1)
{
    bytes.at(offset) ^= mask;
    return bytes;
}

Bytes capsuleOf(std::size_t size)
{
    Bytes capsule = wrap(image());
    capsule.resize(size);
    return capsule;
}

Bytes withRbuWord(const char* word)
{
    Bytes capsule = wrap(image());
    std::copy(word, word + layout::rbuWordSize, capsule.begin() + uefi);
    return capsule;
}

// An image whose signature leaves slot bytes free (ECDSA signatures vary
// in length), its last slot byte changed.
Bytes slotTailChanged()
{
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        const Bytes signedImage = image();
        if (layout::derSignatureLength(signedImage[signedImage.size() - slot +
                                                   layout::derLengthOffset]) <
            slot)
        {
            return wrap(flipped(signedImage, signedImage.size() - 1));
        }
    }
    return {};
}

std::string fail(const std::string& text)
{
    return "BIOSIMG_DBG_FAIL: " + text + "\n";
}

const std::string passed =
    "BIOSIMG_DBG_INFO: verifyBiosImage.188: Manifest verified successfully.\n"
    "BIOSIMG_DBG_INFO: verifyBiosImage.200: Signature verified successfully."
    "\n";
// "@" stands for the scratch directory.
const std::string notLzma =
    "/usr/bin/xz: @/bios.lzma: File format not recognized\n" +
    fail("uncompressBiosCapFile.121: Failure #1 in decompress bios.lzma.");
const std::string noRbu = fail(
    "uncompressBiosCapFile.69: Invalid Cap file: no RBU after UEFI header.");
const std::string badManifest =
    fail("verifyBiosImage.184: Failed in verifying manifest.");
const std::string dataChanged =
    "BIOSIMG_DBG_INFO: verifyBiosImage.188: Manifest verified successfully.\n" +
    fail("signature_verify.302: Failed in EVP_DigestVerifyFinal().") +
    fail("verifyBiosImage.196: Failed in verifying signature of header file.");

struct Case
{
    const char* name;
    Bytes (*capsule)();
    // Standard error of unwrapping, then of verifying if unwrapped.
    std::string lines;
    bool unwrapped;
    // The image's release type once verified, 0 when refused.
    std::uint8_t releaseType;
    // Files in the scratch directory before, what is left after.
    std::vector<std::string> before = {};
    std::vector<std::string> left = {};
};

void PrintTo(const Case& unwrap, std::ostream* out)
{
    *out << unwrap.name;
}

const std::vector<Case> cases = {
    {"Signed", [] { return wrap(image()); }, passed, true, production},
    {"CapsuleRbuLength8", [] { return wrap(image(), 8); }, passed, true,
     production},
    {"CapsuleRbuLength255", [] { return wrap(image(), 255); }, passed, true,
     production},
    {"ImageRbuLength255", [] { return wrap(image(production, 255)); }, passed,
     true, production},
    {"UninterpretedCapsuleBytesChanged",
     [] {
         Bytes capsule = wrap(image());
         for (std::size_t i = 0; i < uefi + 16; ++i)
         {
             if (i < uefi || i > uefi + layout::rbuLengthOffset)
             {
                 capsule[i] ^= 0xFF;
             }
         }
         return capsule;
     },
     passed, true, production},
    {"SlotBytesBehindTheSignatureChanged", slotTailChanged, passed, true,
     production},
    {"LeftOversOfAnEarlierRun",
     [] { return wrap(image()); },
     passed,
     true,
     production,
     {"bios", "bios.lzma"}},
    {"ForeignFileInTheScratchDirectory",
     [] { return wrap(image()); },
     fail("uncompressBiosCapFile.47: Cannot create BIOS scratchpad."),
     false,
     0,
     {"bios", "bios.lzma", "foreign"},
     {"biosscratchpad", "biosscratchpad/foreign"}},
    {"CapsuleOf0Bytes", [] { return capsuleOf(0); },
     fail("uncompressBiosCapFile.63: Failed to read Cap file."), false, 0},
    {"CapsuleOf83Bytes", [] { return capsuleOf(uefi - 1); },
     fail("uncompressBiosCapFile.63: Failed to read Cap file."), false, 0},
    {"CapsuleOf91Bytes", [] { return capsuleOf(uefi + 7); },
     fail("uncompressBiosCapFile.63: Failed to read Cap file."), false, 0},
    // No body: an empty file for xz.
    {"CapsuleOf92Bytes", [] { return capsuleOf(uefi + 8); }, notLzma, false,
     0},
    {"CapsuleRbuWordShifted", [] { return withRbuWord("RBU$"); }, noRbu,
     false, 0},
    {"CapsuleRbuWordLastLetterChanged", [] { return withRbuWord("$RBV"); },
     noRbu, false, 0},
    {"CapsuleRbuWordInLowerCase", [] { return withRbuWord("$rbu"); }, noRbu,
     false, 0},
    // The copy starts at the "$RBU" word itself, which xz does not take.
    {"CapsuleRbuLength0", [] { return wrap(image(), 0); }, notLzma, false, 0},
    {"CapsuleRbuLength255On16Bytes",
     [] { return flipped(wrap(image()), uefi + 4, 16 ^ 255); }, notLzma,
     false, 0},
    {"ImageOf7Bytes",
     [] {
         Bytes head = image();
         head.resize(7);
         return wrap(head);
     },
     fail("verifyBiosImage.164: Read RBU header fails."), true, 0},
    // A byte of the image key that the manifest binds.
    {"ManifestKeyChanged", [] { return wrap(flipped(image(), 16 + 12)); },
     badManifest, true, 0},
    {"ManifestSignedByAnotherRoot",
     [] { return wrap(image(production, 16, imageKey())); }, badManifest,
     true, 0},
    {"ImageDataChanged",
     [] {
         const Bytes signedImage = image();
         return wrap(flipped(signedImage, signedImage.size() - slot - 1));
     },
     dataChanged, true, 0},
    {"SignatureChanged",
     [] {
         const Bytes signedImage = image();
         return wrap(flipped(signedImage, signedImage.size() - slot + 4));
     },
     dataChanged, true, 0},
    {"ReleaseType0", [] { return wrap(image(0)); },
     passed + fail("verifyBiosImage.206: Failed to get release type from "
                   "manifest."),
     true, 0},
};

// Everything under the scratch directory's root, sorted.
std::vector<std::string> entriesUnder(const std::string& root)
{
    std::vector<std::string> entries;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(root))
    {
        entries.push_back(entry.path().lexically_relative(root).string());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::string inScratch(std::string lines, const std::string& directory)
{
    for (std::size_t at = lines.find('@'); at != std::string::npos;
         at = lines.find('@', at + directory.size()))
    {
        lines.replace(at, 1, directory);
    }
    return lines;
}

class Unwrap : public testing::TestWithParam<Case>
{};

TEST_P(Unwrap, ReportsAndLeavesWhatTheCapsuleCallsFor)
{
    const Case& unwrap = GetParam();
    const capsule::ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ready());
    const update::ScratchArea area = scratch.area();
    if (!unwrap.before.empty())
    {
        std::filesystem::create_directory(area.directory);
    }
    for (const std::string& name : unwrap.before)
    {
        std::ofstream(area.directory + "/" + name) << "x";
    }
    std::string lines;
    {
        update::BiosImageContext ctx("bios.cap", fileOf(unwrap.capsule()),
                                     area);
        testing::internal::CaptureStderr();
        const bool unwrapped = update::uncompressBiosCapFile(ctx) == 0;
        const bool verified = unwrapped && update::verifyBiosImage(ctx);
        lines = testing::internal::GetCapturedStderr();
        EXPECT_EQ(unwrapped, unwrap.unwrapped);
        EXPECT_EQ(verified, unwrap.releaseType != 0);
        EXPECT_EQ(ctx.verified, verified);
        EXPECT_EQ(ctx.releaseType, unwrap.releaseType);
    }
    EXPECT_EQ(lines, inScratch(unwrap.lines, area.directory));
    EXPECT_EQ(entriesUnder(scratch.file("")), unwrap.left);
}

INSTANTIATE_TEST_SUITE_P(Capsules, Unwrap, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
