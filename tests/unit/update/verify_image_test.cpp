// Verification of decompressed images: the tamper matrix, manifest and key
// mismatches, release types, RBU header lengths, chunk boundaries, short
// and over-long size counts, and the stream and key failures of the
// signature check.

#include "update/verify_image.hpp"
#include "update_test_support.hpp"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <optional>

#include <gtest/gtest.h>

namespace
{

using namespace update_test;

constexpr std::size_t slotSize = capsule::signatureSlotSize;
constexpr std::size_t mebibytes4 = std::size_t{4} * 1024 * 1024;

const std::string manifestVerified =
    infoLine("verifyBiosImage.188", "Manifest verified successfully.");
const std::string signatureVerified =
    infoLine("verifyBiosImage.200", "Signature verified successfully.");
const std::string manifestRejected =
    failLine("verifyBiosImage.184", "Failed in verifying manifest.");
const std::string noRbu =
    failLine("verifyBiosImage.169", "No RBU at BOF of header files.");
const std::string passed = manifestVerified + signatureVerified;

// What verifyBiosImage writes when signature_verify fails with `line`.
std::string signatureRejected(const std::string& line)
{
    return manifestVerified + line +
           failLine("verifyBiosImage.196",
                    "Failed in verifying signature of header file.");
}

const std::string finalRejected = signatureRejected(
    failLine("signature_verify.302", "Failed in EVP_DigestVerifyFinal()."));

struct Outcome
{
    bool passed = false;
    std::string diagnostics;
    std::uint8_t releaseType = 0;
    std::uint32_t rbuHeaderSize = 0;
    bool verified = false;
};

// Runs verifyBiosImage on `image` written into a private scratch area, with
// the context's size count set to `size` (default: the true length). Checks
// that the file is still open afterwards and that the context's end leaves
// no scratch path.
Outcome verify(const Bytes& image, std::optional<std::uint32_t> size = {})
{
    const TempScratch scratch;
    std::filesystem::create_directory(scratch.directory);
    writeFile(scratch.image, image);
    Outcome outcome;
    {
        update::BiosImageContext ctx(scratch.image, scratch.area);
        EXPECT_TRUE(ctx.file);
        ctx.imageSize = size.value_or(static_cast<std::uint32_t>(image.size()));
        testing::internal::CaptureStderr();
        outcome.passed = update::verifyBiosImage(ctx);
        outcome.diagnostics = testing::internal::GetCapturedStderr();
        outcome.releaseType = ctx.releaseType;
        outcome.rbuHeaderSize = ctx.rbuHeaderSize;
        outcome.verified = ctx.verified;
        EXPECT_TRUE(ctx.file);
        EXPECT_GE(std::ftell(ctx.file.get()), 0)
            << "image file no longer usable";
    }
    EXPECT_FALSE(std::filesystem::exists(scratch.directory));
    return outcome;
}

void expectRejected(const Outcome& outcome, const std::string& diagnostics)
{
    EXPECT_FALSE(outcome.passed);
    EXPECT_FALSE(outcome.verified);
    EXPECT_EQ(outcome.releaseType, 0);
    EXPECT_EQ(outcome.diagnostics, diagnostics);
}

// ---- Tamper matrix ---------------------------------------------------------

// Offsets of the regions of one reference image (RBU header of 16 bytes).
struct Regions
{
    std::size_t manifest = 0;
    capsule::ManifestFields fields;
    std::size_t data = 0;
    std::size_t slot = 0;
    std::size_t derLength = 0;
};

// ECDSA signatures vary in length; the reference image keeps at least two
// slot bytes behind its DER signature so that those can be tampered with.
Bytes imageWithSlotPadding()
{
    Bytes image = goodImage(payload(3000));
    while (image.size() >= slotSize &&
           std::size_t{image[image.size() - slotSize + 1]} + 2 > slotSize - 2)
    {
        image = goodImage(payload(3000));
    }
    return image;
}

const Bytes& referenceImage()
{
    static const Bytes image = imageWithSlotPadding();
    return image;
}

Regions regionsOf(const Bytes& image)
{
    Regions regions;
    regions.manifest = image[4];
    const auto fields = capsule::parseManifest(image.data() + regions.manifest,
                                               image.size() - regions.manifest);
    if (!fields)
    {
        ADD_FAILURE() << "reference manifest does not parse";
        return regions;
    }
    regions.fields = *fields;
    regions.data = regions.manifest + fields->totalLength;
    regions.slot = image.size() - slotSize;
    regions.derLength = std::size_t{image[regions.slot + 1]} + 2;
    return regions;
}

struct TamperCase
{
    const char* name;
    std::function<std::size_t(const Regions&)> offset;
    const std::string* diagnostics; // nullptr: the verdict stays a pass
};

class TamperedImage : public testing::TestWithParam<TamperCase>
{};

TEST_P(TamperedImage, FlippedByteGivesItsVerdict)
{
    const Bytes& reference = referenceImage();
    const Regions regions = regionsOf(reference);
    Bytes image = reference;
    const std::size_t at = GetParam().offset(regions);
    ASSERT_LT(at, image.size());
    image[at] ^= 0x01;
    const Outcome outcome = verify(image);
    if (GetParam().diagnostics == nullptr)
    {
        EXPECT_TRUE(outcome.passed);
        EXPECT_EQ(outcome.diagnostics, passed);
        EXPECT_EQ(outcome.releaseType, 2);
    }
    else
    {
        expectRejected(outcome, *GetParam().diagnostics);
    }
}

std::size_t manifestField(const Regions& r, std::size_t offset)
{
    return r.manifest + offset;
}

INSTANTIATE_TEST_SUITE_P(
    Regions, TamperedImage,
    testing::Values(
        TamperCase{"RbuMagicFirst", [](const Regions&) { return 0U; }, &noRbu},
        TamperCase{"RbuMagicLast", [](const Regions&) { return 3U; }, &noRbu},
        // The length byte moves the manifest.
        TamperCase{"RbuLength", [](const Regions&) { return 4U; },
                   &manifestRejected},
        // The rest of the RBU header is not interpreted but is signed.
        TamperCase{"RbuByte5", [](const Regions&) { return 5U; },
                   &finalRejected},
        TamperCase{"RbuByte7", [](const Regions&) { return 7U; },
                   &finalRejected},
        TamperCase{"RbuTail", [](const Regions&) { return 15U; },
                   &finalRejected},
        TamperCase{"ManifestMagic",
                   [](const Regions& r) { return manifestField(r, 0); },
                   &manifestRejected},
        TamperCase{"ManifestVersion",
                   [](const Regions& r) { return manifestField(r, 4); },
                   &manifestRejected},
        TamperCase{"ManifestReleaseType",
                   [](const Regions& r) { return manifestField(r, 5); },
                   &manifestRejected},
        TamperCase{"ManifestReserved",
                   [](const Regions& r) { return manifestField(r, 7); },
                   &manifestRejected},
        TamperCase{"ManifestKeyLengthLow",
                   [](const Regions& r) { return manifestField(r, 8); },
                   &manifestRejected},
        TamperCase{"ManifestKeyLengthHigh",
                   [](const Regions& r) { return manifestField(r, 9); },
                   &manifestRejected},
        TamperCase{"ManifestKeyFirst",
                   [](const Regions& r) {
                       return manifestField(r, r.fields.keyOffset);
                   },
                   &manifestRejected},
        TamperCase{"ManifestKeyMiddle",
                   [](const Regions& r) {
                       return manifestField(r, r.fields.keyOffset +
                                                   r.fields.keyLength / 2);
                   },
                   &manifestRejected},
        TamperCase{"ManifestKeyLast",
                   [](const Regions& r) {
                       return manifestField(r, r.fields.keyOffset +
                                                   r.fields.keyLength - 1);
                   },
                   &manifestRejected},
        TamperCase{"ManifestSignatureLength",
                   [](const Regions& r) {
                       return manifestField(r, r.fields.signatureOffset - 2);
                   },
                   &manifestRejected},
        TamperCase{"ManifestSignatureFirst",
                   [](const Regions& r) {
                       return manifestField(r, r.fields.signatureOffset);
                   },
                   &manifestRejected},
        TamperCase{"ManifestSignatureLast",
                   [](const Regions& r) {
                       return manifestField(r, r.fields.signatureOffset +
                                                   r.fields.signatureLength -
                                                   1);
                   },
                   &manifestRejected},
        TamperCase{"DataStart", [](const Regions& r) { return r.data; },
                   &finalRejected},
        TamperCase{"DataMiddle",
                   [](const Regions& r) { return (r.data + r.slot) / 2; },
                   &finalRejected},
        TamperCase{"DataEnd", [](const Regions& r) { return r.slot - 1; },
                   &finalRejected},
        TamperCase{"SignatureTag", [](const Regions& r) { return r.slot; },
                   &finalRejected},
        TamperCase{"SignatureLength",
                   [](const Regions& r) { return r.slot + 1; }, &finalRejected},
        TamperCase{"SignatureMiddle",
                   [](const Regions& r) { return r.slot + r.derLength / 2; },
                   &finalRejected},
        TamperCase{"SignatureLast",
                   [](const Regions& r) { return r.slot + r.derLength - 1; },
                   &finalRejected},
        // Slot bytes behind the DER signature are ignored.
        TamperCase{"SlotAfterSignature",
                   [](const Regions& r) { return r.slot + r.derLength; },
                   nullptr},
        TamperCase{"SlotLastByte",
                   [](const Regions& r) { return r.slot + slotSize - 1; },
                   nullptr}),
    [](const testing::TestParamInfo<TamperCase>& info) {
        return std::string(info.param.name);
    });

TEST(TamperedImage, ReferenceImagePasses)
{
    const Outcome outcome = verify(referenceImage());
    EXPECT_TRUE(outcome.passed);
    EXPECT_TRUE(outcome.verified);
    EXPECT_EQ(outcome.diagnostics, passed);
    EXPECT_EQ(outcome.releaseType, 2);
    EXPECT_EQ(outcome.rbuHeaderSize, 16U);
}

// ---- Keys and manifests ----------------------------------------------------

TEST(ManifestBinding, ManifestSignedByAnotherRootIsRejected)
{
    const capsule::Key otherRoot = capsule::generateP384Key();
    const Bytes manifest = capsule::buildManifest(otherRoot, imageKey(), 2);
    ASSERT_FALSE(manifest.empty());
    const Bytes image = capsule::buildImage(payload(500), manifest, imageKey());
    expectRejected(verify(image), manifestRejected);
}

TEST(ManifestBinding, ImageSignedByAnotherKeyIsRejected)
{
    const capsule::Key otherImageKey = capsule::generateP384Key();
    const Bytes manifest = capsule::buildManifest(rootKey(), imageKey(), 2);
    const Bytes signedPart = capsule::buildSignedPart(payload(500), manifest);
    Bytes image = signedPart;
    const Bytes slot = capsule::signatureSlot(signedPart, otherImageKey);
    ASSERT_EQ(slot.size(), slotSize);
    image.insert(image.end(), slot.begin(), slot.end());
    expectRejected(verify(image), finalRejected);
}

TEST(ManifestBinding, ImageWithoutManifestIsRejected)
{
    Bytes image = capsule::rbuHeader(16);
    const Bytes data = payload(400);
    image.insert(image.end(), data.begin(), data.end());
    expectRejected(verify(image), manifestRejected);
}

// ---- Release types ---------------------------------------------------------

class ReleaseType : public testing::TestWithParam<std::uint8_t>
{};

TEST_P(ReleaseType, IsTakenFromTheManifest)
{
    const Outcome outcome = verify(goodImage(payload(700), GetParam()));
    EXPECT_TRUE(outcome.passed);
    EXPECT_TRUE(outcome.verified);
    EXPECT_EQ(outcome.releaseType, GetParam());
    EXPECT_EQ(outcome.diagnostics, passed);
}

INSTANTIATE_TEST_SUITE_P(NonZero, ReleaseType,
                         testing::Values(std::uint8_t{1}, std::uint8_t{2},
                                         std::uint8_t{0x7F},
                                         std::uint8_t{0xFF}));

TEST(ReleaseTypeZero, FailsAfterTheSignaturePassed)
{
    expectRejected(verify(goodImage(payload(700), 0)),
                   passed + failLine("verifyBiosImage.206",
                                     "Failed to get release type from "
                                     "manifest."));
}

// ---- RBU header ------------------------------------------------------------

class RbuHeaderLength : public testing::TestWithParam<std::uint8_t>
{};

TEST_P(RbuHeaderLength, PlacesTheManifest)
{
    const Outcome outcome = verify(goodImage(payload(300), 2, GetParam()));
    EXPECT_TRUE(outcome.passed);
    EXPECT_EQ(outcome.rbuHeaderSize, GetParam());
    EXPECT_EQ(outcome.diagnostics, passed);
}

INSTANTIATE_TEST_SUITE_P(Lengths, RbuHeaderLength,
                         testing::Values(std::uint8_t{8}, std::uint8_t{9},
                                         std::uint8_t{16}, std::uint8_t{200},
                                         std::uint8_t{255}));

TEST(RbuHeader, LengthZeroReadsTheManifestFromTheStart)
{
    // The builder still writes an 8-byte header, so the manifest library
    // finds "$RBU" where it expects its own magic.
    const Outcome outcome = verify(goodImage(payload(300), 2, 0));
    expectRejected(outcome, manifestRejected);
    EXPECT_EQ(outcome.rbuHeaderSize, 0U);
}

TEST(RbuHeader, LengthPastTheEndOfTheFile)
{
    Bytes image = capsule::rbuHeader(8);
    image[4] = 250;
    expectRejected(verify(image), manifestRejected);
}

class NotRbu : public testing::TestWithParam<const char*>
{};

TEST_P(NotRbu, IsRejectedBeforeTheManifest)
{
    Bytes image = referenceImage();
    std::memcpy(image.data(), GetParam(), 4);
    expectRejected(verify(image), noRbu);
}

INSTANTIATE_TEST_SUITE_P(Magics, NotRbu,
                         testing::Values("RBU$", "$rbu", "UBR$", "\0RBU"));

class ShortHeader : public testing::TestWithParam<std::size_t>
{};

TEST_P(ShortHeader, IsRejected)
{
    const Bytes image(referenceImage().begin(),
                      referenceImage().begin() +
                          static_cast<std::ptrdiff_t>(GetParam()));
    expectRejected(verify(image),
                   failLine("verifyBiosImage.164", "Read RBU header fails."));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ShortHeader,
                         testing::Values(std::size_t{0}, std::size_t{1},
                                         std::size_t{4}, std::size_t{7}));

// ---- Chunking and size counts ----------------------------------------------

// An image whose signed part (everything before the slot) is `signedSize`
// bytes long.
Bytes imageWithSignedSize(std::size_t signedSize)
{
    const Bytes manifest = capsule::buildManifest(rootKey(), imageKey(), 2);
    const std::size_t overhead =
        capsule::rbuHeader(16).size() + manifest.size();
    Bytes image = capsule::buildImage(payload(signedSize - overhead), manifest,
                                      imageKey());
    EXPECT_EQ(image.size(), signedSize + slotSize);
    return image;
}

class SignedDataSize : public testing::TestWithParam<std::size_t>
{};

TEST_P(SignedDataSize, VerifiesAcrossChunks)
{
    const Outcome outcome = verify(imageWithSignedSize(GetParam()));
    EXPECT_TRUE(outcome.passed);
    EXPECT_EQ(outcome.diagnostics, passed);
}

TEST_P(SignedDataSize, LastDataByteIsCovered)
{
    Bytes image = imageWithSignedSize(GetParam());
    image[GetParam() - 1] ^= 0x80;
    expectRejected(verify(image), finalRejected);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, SignedDataSize,
                         testing::Values(mebibytes4 - 1, mebibytes4,
                                         mebibytes4 + 1, 2 * mebibytes4 + 1));

TEST(SizeCount, OfExactly104ReadsTheWholeFileAsTheSlot)
{
    expectRejected(verify(referenceImage(), 104), finalRejected);
}

TEST(SizeCount, ShorterThanTheSlotWrapsAndReadsShort)
{
    expectRejected(
        verify(referenceImage(), 103),
        signatureRejected(failLine("signature_verify.280",
                                   "Failed in reading BIOS image data.")));
}

TEST(SizeCount, PastTheEndLeavesTheSlotShort)
{
    const auto size = static_cast<std::uint32_t>(referenceImage().size());
    expectRejected(
        verify(referenceImage(), size + 50),
        signatureRejected(failLine("signature_verify.296",
                                   "Failed to read BIOS image signature.")));
}

TEST(SizeCount, OneShortMisplacesTheSlot)
{
    const auto size = static_cast<std::uint32_t>(referenceImage().size());
    expectRejected(verify(referenceImage(), size - 1), finalRejected);
}

// ---- Streams that cannot seek ----------------------------------------------

// A read stream over a pipe that already holds `bytes` (small enough for the
// pipe's buffer) and whose writing end is closed.
std::FILE* pipeStream(const Bytes& bytes)
{
    std::array<int, 2> fds{};
    if (pipe(fds.data()) != 0)
    {
        return nullptr;
    }
    const ssize_t written = write(fds[1], bytes.data(), bytes.size());
    close(fds[1]);
    if (written != static_cast<ssize_t>(bytes.size()))
    {
        close(fds[0]);
        return nullptr;
    }
    return fdopen(fds[0], "rb");
}

// Runs verifyBiosImage on a context whose file is `stream`.
Outcome verifyStream(std::FILE* stream, std::uint32_t size)
{
    const TempScratch scratch;
    Outcome outcome;
    update::BiosImageContext ctx(scratch.file("absent"), scratch.area);
    EXPECT_FALSE(ctx.file);
    ctx.file.reset(stream);
    ctx.imageSize = size;
    testing::internal::CaptureStderr();
    outcome.passed = update::verifyBiosImage(ctx);
    outcome.diagnostics = testing::internal::GetCapturedStderr();
    return outcome;
}

TEST(UnseekableImage, FailsAtTheFirstSeek)
{
    std::FILE* stream = pipeStream(referenceImage());
    ASSERT_NE(stream, nullptr);
    expectRejected(verifyStream(stream, 100),
                   failLine("verifyBiosImage.159", "Header file seek fails."));
}

TEST(UnseekableImage, FailsToSkipAnRbuHeaderPastItsEnd)
{
    // A memory stream cannot seek past its buffer.
    static Bytes header = capsule::rbuHeader(8);
    header[4] = 200;
    std::FILE* stream = fmemopen(header.data(), header.size(), "rb");
    ASSERT_NE(stream, nullptr);
    expectRejected(
        verifyStream(stream, 8),
        failLine("verifyBiosImage.175", "Header file fails to skip RBU."));
}

// ---- signature_verify on its own -------------------------------------------

Bytes keyRecord(const Bytes& der)
{
    Bytes record(2 + der.size());
    const auto length = static_cast<std::uint16_t>(der.size());
    std::memcpy(record.data(), &length, sizeof(length));
    std::copy(der.begin(), der.end(), record.begin() + 2);
    return record;
}

struct SignatureRun
{
    int result = 0;
    std::string diagnostics;
};

SignatureRun runSignatureVerify(std::FILE* stream, std::uint32_t size,
                                const Bytes& record)
{
    testing::internal::CaptureStderr();
    SignatureRun run;
    run.result = update::signature_verify(stream, size, record.data());
    run.diagnostics = testing::internal::GetCapturedStderr();
    return run;
}

SignatureRun signatureVerifyFile(const Bytes& image, const Bytes& record)
{
    const TempScratch scratch;
    const std::string path = scratch.file("image");
    writeFile(path, image);
    const FilePtr stream(std::fopen(path.c_str(), "rb"));
    EXPECT_TRUE(stream);
    return runSignatureVerify(stream.get(),
                              static_cast<std::uint32_t>(image.size()), record);
}

TEST(SignatureVerify, ImageOfExactly104BytesVerifiesEmptyData)
{
    const Bytes signature =
        capsule::signData(nullptr, 0, imageKey(), EVP_sha512());
    ASSERT_FALSE(signature.empty());
    Bytes slot(slotSize, 0xA5);
    std::copy(signature.begin(), signature.end(), slot.begin());
    const SignatureRun run =
        signatureVerifyFile(slot, keyRecord(capsule::publicKeyDer(imageKey())));
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.diagnostics, "");
}

TEST(SignatureVerify, GarbageKeyIsNotLoaded)
{
    const SignatureRun run =
        signatureVerifyFile(referenceImage(), keyRecord(payload(91)));
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.diagnostics,
              failLine("signature_verify.236",
                       "Failed to load pub key for BIOS image."));
}

TEST(SignatureVerify, EmptyKeyIsNotLoaded)
{
    const SignatureRun run = signatureVerifyFile(referenceImage(), {0, 0});
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.diagnostics,
              failLine("signature_verify.236",
                       "Failed to load pub key for BIOS image."));
}

TEST(SignatureVerify, KeyThatCannotSignFailsInit)
{
    const capsule::Key exchangeKey(
        EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"));
    ASSERT_TRUE(exchangeKey);
    const SignatureRun run = signatureVerifyFile(
        referenceImage(), keyRecord(capsule::publicKeyDer(exchangeKey)));
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.diagnostics, failLine("signature_verify.249",
                                        "Failed in EVP_DigestVerifyInit()."));
}

TEST(SignatureVerify, UnseekableStreamFailsToSeekToStart)
{
    const FilePtr stream(pipeStream(referenceImage()));
    ASSERT_TRUE(stream);
    const SignatureRun run = runSignatureVerify(
        stream.get(), static_cast<std::uint32_t>(referenceImage().size()),
        keyRecord(capsule::publicKeyDer(imageKey())));
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.diagnostics,
              failLine("signature_verify.256", "Failed to seek to BOF."));
}

TEST(SignatureVerify, GoodImageVerifiesWithItsKey)
{
    const SignatureRun run = signatureVerifyFile(
        referenceImage(), keyRecord(capsule::publicKeyDer(imageKey())));
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.diagnostics, "");
}

} // namespace
