// Image verification under what no capsule brings to it: data longer than
// one read chunk, size counts that do not match the file, keys the manifest
// library never hands out, and streams that cannot seek; and the digest of
// an image taken while it is written, which verification may be handed
// instead of reading the image.

#include "capsule_fixture.hpp"
#include "update/image_follower.hpp"
#include "update/verify_image.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

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

using Digest = std::optional<update::ImageDigest>;

// The digest a follower takes of the file `name` in `directory`, following
// it until `written` says the writer is done.
Digest follow(
    const std::string& directory, const std::string& name,
    const std::function<bool()>& written = [] { return true; })
{
    update::ImageFollower follower(directory, name);
    for (bool done = false; !done;)
    {
        done = written();
        while (follower.follow())
        {}
    }
    const UniqueFd image(open((directory + "/" + name).c_str(), O_RDONLY));
    return follower.finish(image.get());
}

// The digest a follower takes of `image`, written whole.
Digest followed(const Bytes& image)
{
    const capsule::ScratchDirectory scratch;
    std::ofstream(scratch.file("image"), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    return follow(scratch.file(""), "image");
}

const Bytes& imageKeyRecord()
{
    static const Bytes record = keyRecord(capsule::publicKeyDer(imageKey()));
    return record;
}

// signature_verify's report on the image, "" when it passed.
std::string signatureVerify(const FilePtr& image, std::size_t size,
                            const Bytes& record = imageKeyRecord(),
                            const Digest& digest = std::nullopt)
{
    testing::internal::CaptureStderr();
    const int result =
        update::signature_verify(image.get(), static_cast<std::uint32_t>(size),
                                 record.data(), digest ? &*digest : nullptr);
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

// Read again, or handed the digest taken as the image was written.
TEST_P(ChunkBoundary, EveryDataByteIsSigned)
{
    Bytes image = signedImage(GetParam());
    for (const std::string& expected :
         {std::string(), failed("signature_verify.302: Failed in "
                                "EVP_DigestVerifyFinal().")})
    {
        const Digest digest = followed(image);
        ASSERT_TRUE(digest);
        EXPECT_EQ(signatureVerify(fileOf(image), image.size()), expected);
        EXPECT_EQ(signatureVerify(fileOf(image), image.size(), imageKeyRecord(),
                                  digest),
                  expected);
        image[GetParam() - 1] ^= 0x80;
    }
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
    for (const Digest& digest : {Digest(), followed(image)})
    {
        EXPECT_EQ(signatureVerify(pipeOf(image), image.size(), imageKeyRecord(),
                                  digest),
                  failed("signature_verify.256: Failed to seek to BOF."));
    }
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

// Written as xz writes: front to back, runs of zeros skipped by seeking
// (holes, read as zeros), while the follower reads what is there.
TEST(ImageFollower, TakesTheDigestOfAnImageWhileItIsWritten)
{
    constexpr std::size_t piece = std::size_t{64} << 10U;
    Bytes image(40 * piece, 0);
    for (std::size_t i = 0; i < image.size(); i += 3 * piece)
    {
        std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(i), piece,
                    static_cast<std::uint8_t>(i / piece + 1));
    }
    capsule::append(image, capsule::signatureSlot(image, imageKey()));
    const capsule::ScratchDirectory scratch;
    std::atomic<bool> done = false;
    std::thread writer([&] {
        const UniqueFd out(open(scratch.file("image").c_str(),
                                O_WRONLY | O_CREAT | O_EXCL, 0600));
        for (std::size_t at = 0; at < image.size(); at += piece)
        {
            const std::size_t size = std::min(piece, image.size() - at);
            const bool zeros = std::all_of(
                image.begin() + static_cast<std::ptrdiff_t>(at),
                image.begin() + static_cast<std::ptrdiff_t>(at + size),
                [](std::uint8_t b) { return b == 0; });
            EXPECT_TRUE(zeros ? lseek(out.get(), static_cast<off_t>(size),
                                      SEEK_CUR) >= 0
                              : write(out.get(), image.data() + at, size) ==
                                    static_cast<ssize_t>(size));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        done = true;
    });
    const Digest digest =
        follow(scratch.file(""), "image", [&] { return done.load(); });
    writer.join();
    ASSERT_TRUE(digest);
    EXPECT_EQ(digest->length,
              image.size() - capsule::layout::signatureSlotSize);
    EXPECT_EQ(
        signatureVerify(fileOf(image), image.size(), imageKeyRecord(), digest),
        "");
}

// A digest is only ever of the very file verification reads, all of it.
TEST(ImageFollower, GivesNoDigestOfAnyOtherFile)
{
    const Bytes image = signedImage(3000);
    const capsule::ScratchDirectory scratch;
    const auto write = [&](const std::string& name, std::size_t size) {
        std::ofstream(scratch.file(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(size));
    };
    write("image", image.size());
    write("copy", image.size());
    write("short", 200);
    ASSERT_EQ(
        symlink(scratch.file("image").c_str(), scratch.file("link").c_str()),
        0);
    const auto digestOf = [&](const std::string& name,
                              const std::string& verified) {
        update::ImageFollower follower(scratch.file(""), name);
        while (follower.follow())
        {}
        if (name == "short")
        {
            write("short", 150);
        }
        const UniqueFd file(open(scratch.file(verified).c_str(), O_RDONLY));
        return follower.finish(file.get());
    };
    EXPECT_TRUE(digestOf("image", "image"));
    EXPECT_FALSE(digestOf("image", "copy"));
    EXPECT_FALSE(digestOf("link", "image"));
    EXPECT_FALSE(digestOf("short", "short"));
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
