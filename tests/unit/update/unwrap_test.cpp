// Unwrapping of capsules into a private scratch area with the real
// /usr/bin/xz: round trips, the capsule bytes that are and are not
// interpreted, RBU header lengths, short and foreign capsules, and the
// scratch area's life. The updater's own scratch path is never used here.

#include "update/bios_image_context.hpp"
#include "update/verify_image.hpp"
#include "update_test_support.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include <gtest/gtest.h>

namespace
{

using namespace update_test;
namespace fs = std::filesystem;

constexpr std::size_t rbuAt = capsule::uefiHeaderSize;

const std::string decompressFailed = failLine(
    "uncompressBiosCapFile.121", "Failure #1 in decompress bios.lzma.");
const std::string readFailed =
    failLine("uncompressBiosCapFile.63", "Failed to read Cap file.");
const std::string noRbu = failLine(
    "uncompressBiosCapFile.69", "Invalid Cap file: no RBU after UEFI header.");

struct Unwrapped
{
    int rc = -1;
    std::string diagnostics;
    std::uint32_t imageSize = 0;
    long position = -1;
    Bytes image; // read through the context's file
    bool compressedLeft = false;
    bool directoryAfterwards = true;
    bool verified = false; // verifyBiosImage on the unwrapped file
};

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

Bytes readRest(std::FILE* file)
{
    Bytes bytes;
    std::array<std::uint8_t, 4096> chunk{};
    std::size_t n = 0;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), file)) != 0)
    {
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
    }
    return bytes;
}

// Unwraps the capsule at `capsulePath` with the scratch area of `scratch`;
// on success also verifies the result with the same context.
Unwrapped unwrapPath(const TempScratch& scratch, const std::string& capsulePath)
{
    Unwrapped result;
    {
        update::BiosImageContext ctx(capsulePath, scratch.area);
        testing::internal::CaptureStderr();
        result.rc = update::uncompressBiosCapFile(ctx);
        if (result.rc == 0)
        {
            result.imageSize = ctx.imageSize;
            result.position = std::ftell(ctx.file.get());
            result.compressedLeft = fs::exists(scratch.compressedImage);
            result.verified = update::verifyBiosImage(ctx);
            std::fseek(ctx.file.get(), 0, SEEK_SET);
            result.image = readRest(ctx.file.get());
        }
        result.diagnostics = testing::internal::GetCapturedStderr();
    }
    result.directoryAfterwards = fs::exists(scratch.directory);
    return result;
}

Unwrapped unwrap(const Bytes& capsuleBytes)
{
    const TempScratch scratch;
    const std::string path = scratch.file("capsule.bin");
    writeFile(path, capsuleBytes);
    return unwrapPath(scratch, path);
}

const Bytes& referenceImage()
{
    static const Bytes image = goodImage(payload(5000));
    return image;
}

Bytes capsuleOf(const Bytes& image, std::uint8_t rbuHeaderLength = 16)
{
    capsule::CapsuleLayout layout;
    layout.rbuHeaderLength = rbuHeaderLength;
    return capsule::buildCapsule(image, layout);
}

const Bytes& referenceCapsule()
{
    static const Bytes bytes = capsuleOf(referenceImage());
    return bytes;
}

void expectRoundTrip(const Unwrapped& result, const Bytes& image)
{
    EXPECT_EQ(result.rc, 0);
    EXPECT_EQ(result.imageSize, image.size());
    EXPECT_EQ(result.position, static_cast<long>(image.size()));
    EXPECT_FALSE(result.compressedLeft) << "xz leaves its input on success";
    EXPECT_TRUE(result.image == image) << "decompressed image differs";
    EXPECT_TRUE(result.verified);
    EXPECT_FALSE(result.directoryAfterwards);
}

TEST(Unwrap, RoundTripsAndVerifies)
{
    const Unwrapped result = unwrap(referenceCapsule());
    expectRoundTrip(result, referenceImage());
    EXPECT_EQ(
        result.diagnostics,
        infoLine("verifyBiosImage.188", "Manifest verified successfully.") +
            infoLine("verifyBiosImage.200",
                     "Signature verified successfully."));
}

// ---- RBU header length of the capsule ---------------------------------------

class CapsuleRbuLength : public testing::TestWithParam<std::uint8_t>
{};

TEST_P(CapsuleRbuLength, IsSkippedAsRead)
{
    expectRoundTrip(unwrap(capsuleOf(referenceImage(), GetParam())),
                    referenceImage());
}

INSTANTIATE_TEST_SUITE_P(Lengths, CapsuleRbuLength,
                         testing::Values(std::uint8_t{8}, std::uint8_t{9},
                                         std::uint8_t{16}, std::uint8_t{128},
                                         std::uint8_t{255}));

TEST(CapsuleRbuLengthZero, CopiesTheRbuHeaderIntoTheBody)
{
    // The copy starts at the "$RBU" word itself, which xz does not take.
    const Unwrapped result = unwrap(capsuleOf(referenceImage(), 0));
    EXPECT_NE(result.rc, 0);
    EXPECT_TRUE(endsWith(result.diagnostics, decompressFailed))
        << result.diagnostics;
    EXPECT_FALSE(result.directoryAfterwards);
}

TEST(CapsuleRbuLength255, OnAShortHeaderSkipsIntoTheBody)
{
    Bytes capsuleBytes = referenceCapsule();
    capsuleBytes[rbuAt + 4] = 255;
    const Unwrapped result = unwrap(capsuleBytes);
    EXPECT_NE(result.rc, 0);
    EXPECT_TRUE(endsWith(result.diagnostics, decompressFailed))
        << result.diagnostics;
    EXPECT_FALSE(result.directoryAfterwards);
}

// ---- Capsule bytes ---------------------------------------------------------

// Bytes that are never interpreted: the UEFI header and the capsule's RBU
// header behind its length byte.
class UninterpretedCapsuleByte : public testing::TestWithParam<std::size_t>
{};

TEST_P(UninterpretedCapsuleByte, DoesNotChangeTheVerdict)
{
    Bytes capsuleBytes = referenceCapsule();
    capsuleBytes[GetParam()] ^= 0xFF;
    expectRoundTrip(unwrap(capsuleBytes), referenceImage());
}

INSTANTIATE_TEST_SUITE_P(Offsets, UninterpretedCapsuleByte,
                         testing::Values(0, 1, 16, 42, 83, rbuAt + 5, rbuAt + 6,
                                         rbuAt + 7, rbuAt + 8, rbuAt + 15));

// Bytes whose change must end in a rejection, either while unwrapping or
// at verification.
class InterpretedCapsuleByte : public testing::TestWithParam<std::size_t>
{};

TEST_P(InterpretedCapsuleByte, IsRejected)
{
    Bytes capsuleBytes = referenceCapsule();
    const std::size_t body = rbuAt + 16;
    const std::array<std::size_t, 5> offsets = {
        rbuAt + 4,                               // length byte
        body,                                    // body start
        body + 5,                                // lzma size field
        body + (capsuleBytes.size() - body) / 2, // body middle
        capsuleBytes.size() - 1,                 // body end
    };
    const std::size_t at = offsets.at(GetParam());
    capsuleBytes[at] ^= 0x55;
    const Unwrapped result = unwrap(capsuleBytes);
    EXPECT_TRUE(result.rc != 0 || !result.verified)
        << "flip at " << at << " accepted";
    EXPECT_FALSE(result.directoryAfterwards);
}

INSTANTIATE_TEST_SUITE_P(Regions, InterpretedCapsuleByte,
                         testing::Range(std::size_t{0}, std::size_t{5}));

class NotRbuCapsule : public testing::TestWithParam<const char*>
{};

TEST_P(NotRbuCapsule, IsRejected)
{
    Bytes capsuleBytes = referenceCapsule();
    std::memcpy(capsuleBytes.data() + rbuAt, GetParam(), 4);
    const Unwrapped result = unwrap(capsuleBytes);
    EXPECT_NE(result.rc, 0);
    EXPECT_EQ(result.diagnostics, noRbu);
    EXPECT_FALSE(result.directoryAfterwards);
}

INSTANTIATE_TEST_SUITE_P(Words, NotRbuCapsule,
                         testing::Values("RBU$", "$rbu", "URB$", "$RB\0"));

class ShortCapsule : public testing::TestWithParam<std::size_t>
{};

TEST_P(ShortCapsule, FailsToRead)
{
    const Bytes capsuleBytes(referenceCapsule().begin(),
                             referenceCapsule().begin() +
                                 static_cast<std::ptrdiff_t>(GetParam()));
    const Unwrapped result = unwrap(capsuleBytes);
    EXPECT_NE(result.rc, 0);
    EXPECT_EQ(result.diagnostics, readFailed);
    EXPECT_FALSE(result.directoryAfterwards);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ShortCapsule,
                         testing::Values(0, 1, 83, 84, 87, 88, 91));

TEST(ShortCapsule, NinetyTwoBytesReachDecompression)
{
    const Bytes capsuleBytes(referenceCapsule().begin(),
                             referenceCapsule().begin() + 92);
    const Unwrapped result = unwrap(capsuleBytes);
    EXPECT_NE(result.rc, 0);
    EXPECT_TRUE(endsWith(result.diagnostics, decompressFailed))
        << result.diagnostics;
}

// ---- Scratch area ----------------------------------------------------------

TEST(ScratchArea, MissingCapsuleIsReportedAfterTheDirectoryIsMade)
{
    const TempScratch scratch;
    Unwrapped result;
    {
        update::BiosImageContext ctx(scratch.file("absent.bin"), scratch.area);
        EXPECT_FALSE(ctx.file);
        EXPECT_EQ(ctx.path, scratch.file("absent.bin"));
        testing::internal::CaptureStderr();
        result.rc = update::uncompressBiosCapFile(ctx);
        result.diagnostics = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(fs::is_directory(scratch.directory));
    }
    EXPECT_NE(result.rc, 0);
    EXPECT_EQ(result.diagnostics,
              failLine("uncompressBiosCapFile.53", "Could not find cap file."));
    EXPECT_FALSE(fs::exists(scratch.directory));
}

TEST(ScratchArea, IsMadeWithMode0766UnderTheUmask)
{
    const TempScratch scratch;
    const std::string path = scratch.file("capsule.bin");
    writeFile(path, referenceCapsule());
    const mode_t previous = umask(0);
    {
        update::BiosImageContext ctx(path, scratch.area);
        testing::internal::CaptureStderr();
        EXPECT_EQ(update::uncompressBiosCapFile(ctx), 0);
        testing::internal::GetCapturedStderr();
        struct stat status
        {};
        ASSERT_EQ(stat(scratch.directory.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0766U);
    }
    umask(previous);
}

TEST(ScratchArea, ForeignFileBlocksTheUpdate)
{
    const TempScratch scratch;
    fs::create_directory(scratch.directory);
    writeFile(scratch.directory + "/foreign", {1, 2, 3});
    writeFile(scratch.image, {4});
    const std::string path = scratch.file("capsule.bin");
    writeFile(path, referenceCapsule());
    const Unwrapped result = unwrapPath(scratch, path);
    EXPECT_NE(result.rc, 0);
    EXPECT_EQ(result.diagnostics, failLine("uncompressBiosCapFile.47",
                                           "Cannot create BIOS scratchpad."));
    // Only the files the updater owns are removed.
    EXPECT_TRUE(fs::exists(scratch.directory + "/foreign"));
    EXPECT_FALSE(fs::exists(scratch.image));
}

TEST(ScratchArea, MissingParentBlocksTheUpdate)
{
    const TempScratch scratch;
    const std::string directory = scratch.file("absent/biosscratchpad");
    const std::string compressed = directory + "/bios.lzma";
    const std::string image = directory + "/bios";
    const update::ScratchArea area{directory, compressed, image};
    const std::string path = scratch.file("capsule.bin");
    writeFile(path, referenceCapsule());
    update::BiosImageContext ctx(path, area);
    testing::internal::CaptureStderr();
    EXPECT_NE(update::uncompressBiosCapFile(ctx), 0);
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        failLine("uncompressBiosCapFile.47", "Cannot create BIOS scratchpad."));
}

TEST(ScratchArea, LeftOversOfAnEarlierRunAreCleared)
{
    const TempScratch scratch;
    fs::create_directory(scratch.directory);
    writeFile(scratch.image, {1, 2, 3});
    writeFile(scratch.compressedImage, {4, 5, 6});
    const std::string path = scratch.file("capsule.bin");
    writeFile(path, referenceCapsule());
    expectRoundTrip(unwrapPath(scratch, path), referenceImage());
}

TEST(ScratchArea, UnwritableCompressedCopyIsReported)
{
    const TempScratch scratch;
    const std::string directory = scratch.directory;
    const std::string compressed = directory + "/absent/bios.lzma";
    const update::ScratchArea area{directory, compressed, scratch.image};
    const std::string path = scratch.file("capsule.bin");
    writeFile(path, referenceCapsule());
    {
        update::BiosImageContext ctx(path, area);
        testing::internal::CaptureStderr();
        EXPECT_NE(update::uncompressBiosCapFile(ctx), 0);
        EXPECT_EQ(
            testing::internal::GetCapturedStderr(),
            failLine("uncompressBiosCapFile.89", "Failed to open bios.lzma."));
    }
    EXPECT_FALSE(fs::exists(directory));
}

TEST(ScratchArea, MissingDecompressedImageIsReported)
{
    // xz writes "bios"; this area expects the image under another name.
    const TempScratch scratch;
    const std::string image = scratch.directory + "/elsewhere";
    const update::ScratchArea area{scratch.directory, scratch.compressedImage,
                                   image};
    const std::string path = scratch.file("capsule.bin");
    writeFile(path, referenceCapsule());
    update::BiosImageContext ctx(path, area);
    testing::internal::CaptureStderr();
    EXPECT_NE(update::uncompressBiosCapFile(ctx), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              failLine("uncompressBiosCapFile.135",
                       "Failed to open uncompressed header file."));
    EXPECT_FALSE(ctx.file);
}

// ---- A capsule stream that cannot seek --------------------------------------

TEST(UnseekableCapsule, SeekFailuresAreReportedAndTheCopyGoesOn)
{
    // Over a pipe both seeks fail; reading then simply continues where the
    // stream stands, so a pipe carrying an RBU header and the body unwraps.
    Bytes stream = capsule::rbuHeader(8);
    const Bytes body = capsule::compress(referenceImage());
    stream.insert(stream.end(), body.begin(), body.end());
    ASSERT_LT(stream.size(), 60000U) << "must fit in a pipe buffer";
    std::array<int, 2> fds{};
    ASSERT_EQ(pipe(fds.data()), 0);
    ASSERT_EQ(write(fds[1], stream.data(), stream.size()),
              static_cast<ssize_t>(stream.size()));
    close(fds[1]);

    const TempScratch scratch;
    Unwrapped result;
    {
        update::BiosImageContext ctx(scratch.file("absent.bin"), scratch.area);
        ctx.file.reset(fdopen(fds[0], "rb"));
        ASSERT_TRUE(ctx.file);
        testing::internal::CaptureStderr();
        result.rc = update::uncompressBiosCapFile(ctx);
        result.diagnostics = testing::internal::GetCapturedStderr();
        result.imageSize = ctx.imageSize;
    }
    EXPECT_EQ(result.rc, 0);
    EXPECT_EQ(result.imageSize, referenceImage().size());
    // Both messages carry a newline of their own: an empty line follows.
    EXPECT_EQ(result.diagnostics,
              failLine("uncompressBiosCapFile.59",
                       "Failed to skip UEFI CAP header of the CAP file.\n") +
                  failLine("uncompressBiosCapFile.76",
                           "Failed to skip UEFI CAP header and RBU in the "
                           "CAP file.\n"));
    EXPECT_FALSE(fs::exists(scratch.directory));
}

} // namespace
