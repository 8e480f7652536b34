// Image verification under what no capsule brings to it: data longer than
// one read chunk, size counts that do not match the file, keys the manifest
// library never hands out, and streams that cannot seek.

#include "capsule_fixture.hpp"
#include "update/verify_image.hpp"

#include <unistd.h>

#include <array>

namespace
{

using namespace fixture;

constexpr std::size_t chunk = update::streamBufferSize;

// `size` bytes of data followed by the signature slot that signs them.
Bytes signedImage(std::size_t size)
{
    Bytes image(size, 0xA5);
    capsule::append(image, capsule::signatureSlot(image, imageKey()));
    return image;
}

// A stream over a pipe that holds `bytes` (within the pipe's buffer).
FilePtr pipeOf(const Bytes& bytes)
{
    std::array<int, 2> fds{};
    EXPECT_EQ(pipe(fds.data()), 0);
    EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
    close(fds[1]);
    return FilePtr(fdopen(fds[0], "rb"));
}

// signature_verify's report on the image, "" when it passed.
std::string signatureVerify(
    const FilePtr& image, std::size_t size,
    const Bytes& record = keyRecord(capsule::publicKeyDer(imageKey())))
{
    testing::internal::CaptureStderr();
    const int result = update::signature_verify(
        image.get(), static_cast<std::uint32_t>(size), record.data());
    std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, report.empty() ? 0 : -1);
    return report;
}

std::string failed(const std::string& functionAndReport)
{
    return "BIOSIMG_DBG_FAIL: " + functionAndReport + "\n";
}

class ChunkBoundary : public testing::TestWithParam<std::size_t>
{};

TEST_P(ChunkBoundary, EveryDataByteIsSigned)
{
    Bytes image = signedImage(GetParam());
    EXPECT_EQ(signatureVerify(fileOf(image), image.size()), "");
    image[GetParam() - 1] ^= 0x80;
    EXPECT_EQ(signatureVerify(fileOf(image), image.size()),
              failed("signature_verify.302: Failed in "
                     "EVP_DigestVerifyFinal()."));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ChunkBoundary,
                         testing::Values(chunk - 1, chunk, chunk + 1,
                                         2 * chunk + 1));

TEST(SignatureVerify, FailsOnWhatNoVerifiedManifestOrImageFileBrings)
{
    const Bytes image = signedImage(3000);
    const capsule::Key cannotSign(
        EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"));
    EXPECT_EQ(
        signatureVerify(fileOf(image), image.size(),
                        keyRecord(Bytes(91, 0x30))),
        failed("signature_verify.236: Failed to load pub key for BIOS image."));
    EXPECT_EQ(
        signatureVerify(fileOf(image), image.size(),
                        keyRecord(capsule::publicKeyDer(cannotSign))),
        failed("signature_verify.249: Failed in EVP_DigestVerifyInit()."));
    EXPECT_EQ(signatureVerify(pipeOf(image), image.size()),
              failed("signature_verify.256: Failed to seek to BOF."));
    // A count below the slot wraps: the first read comes short.
    EXPECT_EQ(
        signatureVerify(fileOf(image), 103),
        failed("signature_verify.280: Failed in reading BIOS image data."));
    EXPECT_EQ(
        signatureVerify(fileOf(image), image.size() + 50),
        failed("signature_verify.296: Failed to read BIOS image signature."));
}

TEST(SignatureVerify, TakesASignatureThatFillsItsSlot)
{
    // ECDSA signatures vary in length: about one in four fills the slot.
    const std::size_t slot = capsule::layout::signatureSlotSize;
    bool found = false;
    for (int attempt = 0; attempt < 200 && !found; ++attempt)
    {
        const Bytes image = signedImage(3000);
        found = capsule::layout::derSignatureLength(
                    image[image.size() - slot + 1]) == slot;
        if (found)
        {
            EXPECT_EQ(signatureVerify(fileOf(image), image.size()), "");
        }
    }
    EXPECT_TRUE(found);
}

// verifyBiosImage's report on the stream (`size` bytes), which it refuses.
std::string refusal(std::FILE* stream, std::uint32_t size = 0)
{
    const capsule::ScratchDirectory scratch;
    update::BiosImageContext ctx(scratch.file("absent"), scratch.area());
    ctx.file.reset(stream);
    ctx.imageSize = size;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(update::verifyBiosImage(ctx));
    EXPECT_FALSE(ctx.verified);
    EXPECT_EQ(ctx.releaseType, 0);
    return testing::internal::GetCapturedStderr();
}

TEST(VerifyBiosImage, FailsOnStreamsThatCannotSeek)
{
    EXPECT_EQ(refusal(pipeOf(signedImage(3000)).release()),
              failed("verifyBiosImage.159: Header file seek fails."));
    // A memory stream cannot seek past its buffer.
    static Bytes header = capsule::rbuHeader(200);
    header.resize(8);
    EXPECT_EQ(refusal(fmemopen(header.data(), header.size(), "rb")),
              failed("verifyBiosImage.175: Header file fails to skip RBU."));
}

TEST(VerifyBiosImage, SkipsAnRbuHeaderOnlyWithinTheImage)
{
    Bytes header = capsule::rbuHeader(8);
    header.resize(8);
    EXPECT_EQ(refusal(fileOf(header).release(), 8),
              failed("verifyBiosImage.184: Failed in verifying manifest."));
    header[capsule::layout::rbuLengthOffset] = 9;
    EXPECT_EQ(refusal(fileOf(header).release(), 8),
              failed("verifyBiosImage.175: Header file fails to skip RBU."));
}

} // namespace
