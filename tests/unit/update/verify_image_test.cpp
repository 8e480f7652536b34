// Image verification under what no capsule brings to it: data longer than
// one read chunk, size counts that do not match the file, keys the manifest
// library never hands out, and streams that cannot seek. Also the capsule
// builder's streamed images, which no end-to-end capsule is large enough
// to stream in several chunks.

#include "builder/lzma_codec.hpp"
#include "capsule_fixture.hpp"
#include "update/verify_image.hpp"

#include <unistd.h>

#include <array>
#include <fstream>
#include <iterator>

namespace
{

using namespace fixture;

constexpr std::size_t chunk = update::streamBufferSize;

// `size` bytes of data followed by the signature slot that signs them.
Bytes signedImage(std::size_t size)
{
    Bytes image = payload(size);
    capsule::append(image, capsule::signatureSlot(image, imageKey()));
    return image;
}

Bytes imageKeyRecord()
{
    return keyRecord(capsule::publicKeyDer(imageKey()));
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
std::string signatureVerify(const FilePtr& image, std::size_t size,
                            const Bytes& record = imageKeyRecord())
{
    testing::internal::CaptureStderr();
    const int result = update::signature_verify(
        image.get(), static_cast<std::uint32_t>(size), record.data());
    std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, report.empty() ? 0 : -1);
    return report;
}

const std::string finalFailed = "BIOSIMG_DBG_FAIL: signature_verify.302: "
                                "Failed in EVP_DigestVerifyFinal().\n";

class ChunkBoundary : public testing::TestWithParam<std::size_t>
{};

TEST_P(ChunkBoundary, EveryDataByteIsSigned)
{
    Bytes image = signedImage(GetParam());
    EXPECT_EQ(signatureVerify(fileOf(image), image.size()), "");
    image[GetParam() - 1] ^= 0x80;
    EXPECT_EQ(signatureVerify(fileOf(image), image.size()), finalFailed);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ChunkBoundary,
                         testing::Values(chunk - 1, chunk, chunk + 1,
                                         2 * chunk + 1));

struct Failure
{
    const char* name;
    FilePtr (*open)(const Bytes&);
    std::size_t sizeCount; // 0: the image's length
    Bytes (*record)();
    const char* report;
};

class SignatureVerify : public testing::TestWithParam<Failure>
{};

TEST_P(SignatureVerify, Fails)
{
    const Bytes image = signedImage(3000);
    const Failure& c = GetParam();
    EXPECT_EQ(signatureVerify(c.open(image),
                              c.sizeCount != 0 ? c.sizeCount : image.size(),
                              c.record()),
              std::string("BIOSIMG_DBG_FAIL: signature_verify.") + c.report +
                  "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SignatureVerify,
    testing::Values(
        Failure{"KeyRecordNotDer", fileOf, 0,
                [] { return keyRecord(payload(91)); },
                "236: Failed to load pub key for BIOS image."},
        Failure{"KeyCannotSign", fileOf, 0,
                [] {
                    return keyRecord(capsule::publicKeyDer(capsule::Key(
                        EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"))));
                },
                "249: Failed in EVP_DigestVerifyInit()."},
        Failure{"StreamCannotSeek", pipeOf, 0, imageKeyRecord,
                "256: Failed to seek to BOF."},
        // The count wraps below the slot: the first read comes short.
        Failure{"SizeCountBelowTheSlot", fileOf, 103, imageKeyRecord,
                "280: Failed in reading BIOS image data."},
        Failure{"SizeCountPastTheEnd", fileOf, 3000 + 104 + 50, imageKeyRecord,
                "296: Failed to read BIOS image signature."}),
    [](const testing::TestParamInfo<Failure>& info) {
        return std::string(info.param.name);
    });

void expectVerifyBiosImageFails(std::FILE* stream, const std::string& report)
{
    const capsule::ScratchDirectory scratch;
    update::BiosImageContext ctx(scratch.file("absent"), scratch.area());
    ctx.file.reset(stream);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(update::verifyBiosImage(ctx));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "BIOSIMG_DBG_FAIL: verifyBiosImage." + report + "\n");
    EXPECT_FALSE(ctx.verified);
    EXPECT_EQ(ctx.releaseType, 0);
}

TEST(VerifyBiosImage, FailsOnAStreamThatCannotSeek)
{
    expectVerifyBiosImageFails(pipeOf(signedImage(3000)).release(),
                               "159: Header file seek fails.");
}

TEST(VerifyBiosImage, FailsToSkipAnRbuHeaderPastTheStreamsEnd)
{
    // A memory stream cannot seek past its buffer.
    static Bytes header = capsule::rbuHeader(200);
    header.resize(8);
    expectVerifyBiosImageFails(fmemopen(header.data(), header.size(), "rb"),
                               "175: Header file fails to skip RBU.");
}

TEST(StreamedCapsule, HoldsTheImageBuiltInMemory)
{
    const capsule::ScratchDirectory dir;
    // More than one streaming chunk, and not a multiple of it.
    const Bytes data = payload(std::size_t{3} * 1024 * 1024 + 5);
    std::ofstream(dir.file("payload"), std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    const Bytes manifest = capsule::buildManifest(rootKey(), imageKey(), 2);
    ASSERT_TRUE(capsule::packFile(dir.file("payload"), manifest, imageKey(),
                                  dir.file("capsule"), {.rbuHeaderLength = 8},
                                  {.compressionPreset = 0}));
    std::ifstream in(dir.file("capsule"), std::ios::binary);
    const Bytes built{std::istreambuf_iterator<char>(in),
                      std::istreambuf_iterator<char>()};
    ASSERT_GT(built.size(), 100U);
    EXPECT_EQ(
        Bytes(built.begin(), built.begin() + 84),
        capsule::uefiCapsuleHeader(static_cast<std::uint32_t>(built.size())));
    EXPECT_EQ(Bytes(built.begin() + 84, built.begin() + 100),
              capsule::rbuHeader(16));
    const auto image =
        capsule::decompress(Bytes(built.begin() + 100, built.end()));
    ASSERT_TRUE(image);
    const Bytes signedPart =
        capsule::buildSignedPart(data, manifest, {.rbuHeaderLength = 8});
    ASSERT_EQ(image->size(), signedPart.size() + capsule::signatureSlotSize);
    EXPECT_TRUE(
        std::equal(signedPart.begin(), signedPart.end(), image->begin()));
    EXPECT_EQ(signatureVerify(fileOf(*image), image->size()), "");
}

} // namespace
