// Whole capsules unwrapped and verified in a private scratch area, as an
// update does: the lines each one brings out (xz's among them), the verdict
// and release type, and what the image context leaves when it ends.

#include "capsule_fixture.hpp"
#include "update/capsule_snapshot.hpp"
#include "update/verify_image.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace
{

using namespace fixture;
namespace layout = capsule::layout;
using Names = std::vector<std::string>;

constexpr std::size_t uefi = layout::uefiHeaderSize;
constexpr auto slot = static_cast<long>(layout::signatureSlotSize);
constexpr int notUnwrapped = -1;
constexpr int refused = 0;
constexpr int production = 2;

// A signed image of 5000 data bytes.
Bytes image(std::uint8_t releaseType = production, std::uint8_t rbuLength = 16)
{
    return capsule::buildImage(
        Bytes(5000, 0x5A),
        capsule::buildManifest(rootKey(), imageKey(), releaseType), imageKey(),
        {rbuLength});
}

Bytes wrap(const Bytes& image, std::uint8_t rbuLength = 16)
{
    return capsule::buildCapsule(image, {rbuLength, 0});
}

// `bytes` with the byte at `at` (from the end when negative) changed.
Bytes changed(Bytes bytes, long at, std::uint8_t mask = 1)
{
    bytes.at(at < 0 ? bytes.size() - static_cast<std::size_t>(-at)
                    : static_cast<std::size_t>(at)) ^= mask;
    return bytes;
}

Bytes cut(Bytes bytes, std::size_t size)
{
    bytes.resize(size);
    return bytes;
}

Bytes withRbuWord(const char* word)
{
    Bytes capsule = wrap(image());
    std::copy(word, word + layout::rbuWordSize, capsule.begin() + uefi);
    return capsule;
}

// ECDSA signatures vary in length: the last slot byte of an image whose
// signature leaves it free, changed.
Bytes slotTailChanged()
{
    Bytes signedImage;
    do
    {
        signedImage = image();
    } while (layout::derSignatureLength(signedImage.end()[1 - slot]) ==
             static_cast<std::size_t>(slot));
    return wrap(changed(signedImage, -1));
}

Bytes uninterpretedBytesChanged()
{
    Bytes capsule = wrap(image());
    for (std::size_t i = 0; i < uefi + 16; ++i)
    {
        capsule[i] ^= i < uefi || i > uefi + layout::rbuLengthOffset ? 0xFF : 0;
    }
    return capsule;
}

std::string fail(const std::string& text)
{
    return "BIOSIMG_DBG_FAIL: " + text + "\n";
}

const std::string manifestPassed =
    "BIOSIMG_DBG_INFO: verifyBiosImage.188: Manifest verified successfully.\n";
const std::string passed =
    manifestPassed +
    "BIOSIMG_DBG_INFO: verifyBiosImage.200: Signature verified successfully.\n";
// "@" stands for the scratch directory.
const std::string notLzma =
    "/usr/bin/xz: @/bios.lzma: File format not recognized\n" +
    fail("uncompressBiosCapFile.121: Failure #1 in decompress bios.lzma.");
const std::string cannotRead =
    fail("uncompressBiosCapFile.63: Failed to read Cap file.");
const std::string noRbu = fail(
    "uncompressBiosCapFile.69: Invalid Cap file: no RBU after UEFI header.");

// Standard error, the verdict (notUnwrapped, refused or the release type),
// and what is left in the scratch directory's parent.
using Outcome = std::tuple<std::string, int, Names>;

Names entriesUnder(const std::string& root)
{
    Names entries;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(root))
    {
        entries.push_back(entry.path().lexically_relative(root).string());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// The capsule `bytes` read as an update reads it: copied once, privately,
// with its compressed body copied out by the same read.
FilePtr snapshotOf(const Bytes& bytes, const std::string& scratchDirectory,
                   update::CompressedBody& body)
{
    const capsule::ScratchDirectory payload;
    std::ofstream(payload.file("bios.cap"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    const update::CapsuleSnapshot snapshot(
        payload.file("bios.cap"), {payload.file("")}, &body, scratchDirectory);
    if (body.file.valid())
    {
        Bytes copied(bytes.size());
        copied.resize(static_cast<std::size_t>(
            pread(body.file.get(), copied.data(), copied.size(), 0)));
        const auto start =
            std::min(static_cast<std::size_t>(body.offset), bytes.size());
        EXPECT_EQ(copied,
                  Bytes(bytes.begin() + static_cast<long>(start), bytes.end()));
    }
    return snapshot.openStream();
}

// Unwraps and verifies the capsule `bytes` in a scratch directory holding
// `files`, read from the capsule itself or, as an update reads it, from its
// snapshot.
Outcome unwrap(const Bytes& bytes, const Names& files = {},
               bool asUpdate = false)
{
    const capsule::ScratchDirectory scratch;
    const update::ScratchArea area = scratch.area();
    update::CompressedBody body;
    FilePtr capsule =
        asUpdate ? snapshotOf(bytes, scratch.file(""), body) : fileOf(bytes);
    if (!files.empty())
    {
        std::filesystem::create_directory(area.directory);
    }
    for (const std::string& name : files)
    {
        std::ofstream(area.directory + "/" + name) << "x";
    }
    int verdict = notUnwrapped;
    testing::internal::CaptureStderr();
    {
        update::BiosImageContext ctx("bios.cap", std::move(capsule), area);
        ctx.preparedBody = std::move(body);
        if (update::uncompressBiosCapFile(ctx) == 0)
        {
            const bool verified = update::verifyBiosImage(ctx);
            EXPECT_EQ(ctx.verified, verified);
            EXPECT_EQ(ctx.releaseType != refused, verified);
            verdict = ctx.releaseType;
        }
    }
    std::string lines = testing::internal::GetCapturedStderr();
    for (std::size_t at = 0;
         (at = lines.find(area.directory, at)) != std::string::npos;)
    {
        lines.replace(at, area.directory.size(), "@");
    }
    return {lines, verdict, entriesUnder(scratch.file(""))};
}

struct Case
{
    const char* name;
    Bytes (*capsule)();
    std::string lines;
    int verdict;
};

TEST(Unwrap, ReportsWhatEachCapsuleCallsForAndLeavesNothing)
{
    const std::vector<Case> cases = {
        {"capsule RBU length 8", [] { return wrap(image(), 8); }, passed,
         production},
        {"capsule RBU length 255", [] { return wrap(image(), 255); }, passed,
         production},
        {"image RBU length 255", [] { return wrap(image(production, 255)); },
         passed, production},
        {"uninterpreted bytes", uninterpretedBytesChanged, passed, production},
        {"slot tail", slotTailChanged, passed, production},
        {"0 bytes", [] { return Bytes(); }, cannotRead, notUnwrapped},
        {"83 bytes", [] { return cut(wrap(image()), uefi - 1); }, cannotRead,
         notUnwrapped},
        {"91 bytes", [] { return cut(wrap(image()), uefi + 7); }, cannotRead,
         notUnwrapped},
        // No body: an empty file for xz.
        {"92 bytes", [] { return cut(wrap(image()), uefi + 8); }, notLzma,
         notUnwrapped},
        {"RBU$", [] { return withRbuWord("RBU$"); }, noRbu, notUnwrapped},
        {"$RBV", [] { return withRbuWord("$RBV"); }, noRbu, notUnwrapped},
        {"$rbu", [] { return withRbuWord("$rbu"); }, noRbu, notUnwrapped},
        // The copy starts at the "$RBU" word itself, which xz does not take.
        {"capsule RBU length 0", [] { return wrap(image(), 0); }, notLzma,
         notUnwrapped},
        {"capsule RBU length 255 on 16 bytes",
         [] { return changed(wrap(image()), uefi + 4, 16 ^ 255); }, notLzma,
         notUnwrapped},
        {"image of 7 bytes", [] { return wrap(cut(image(), 7)); },
         fail("verifyBiosImage.164: Read RBU header fails."), refused},
        {"signature", [] { return wrap(changed(image(), 4 - slot)); },
         manifestPassed +
             fail("signature_verify.302: Failed in EVP_DigestVerifyFinal().") +
             fail("verifyBiosImage.196: Failed in verifying signature of "
                  "header file."),
         refused},
        {"release type 0", [] { return wrap(image(0)); },
         passed + fail("verifyBiosImage.206: Failed to get release type "
                       "from manifest."),
         refused},
    };
    for (const Case& row : cases)
    {
        SCOPED_TRACE(row.name);
        const Bytes capsule = row.capsule();
        for (const bool asUpdate : {false, true})
        {
            EXPECT_EQ(unwrap(capsule, {}, asUpdate),
                      Outcome(row.lines, row.verdict, {}));
        }
    }
}

// The body copied out beforehand is taken only where the capsule's own RBU
// header says its body begins: here it is another image's, which shows.
TEST(Unwrap, TakesABodyCopiedOutOnlyWhereTheBodyBegins)
{
    const Bytes capsule = wrap(image());
    const Bytes other = wrap(image(1));
    const long begins = static_cast<long>(uefi) + 16;
    for (const auto& [offset, verdict] :
         {std::pair{begins, 1}, std::pair{begins + 1, production}})
    {
        const capsule::ScratchDirectory scratch;
        update::BiosImageContext ctx("bios.cap", fileOf(capsule),
                                     scratch.area());
        ctx.preparedBody = {
            UniqueFd(open(scratch.file("").c_str(), O_TMPFILE | O_RDWR, 0600)),
            offset};
        ASSERT_TRUE(ctx.preparedBody.file.valid());
        ASSERT_EQ(pwrite(ctx.preparedBody.file.get(), other.data() + begins,
                         other.size() - begins, 0),
                  static_cast<ssize_t>(other.size() - begins));
        testing::internal::CaptureStderr();
        ASSERT_EQ(update::uncompressBiosCapFile(ctx), 0);
        EXPECT_TRUE(update::verifyBiosImage(ctx));
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(ctx.releaseType, verdict);
    }
}

TEST(Unwrap, ClearsAnEarlierRunsFilesButStopsAtAForeignOne)
{
    const Bytes capsule = wrap(image());
    for (const bool asUpdate : {false, true})
    {
        EXPECT_EQ(unwrap(capsule, {"bios", "bios.lzma"}, asUpdate),
                  Outcome(passed, production, {}));
        EXPECT_EQ(unwrap(capsule, {"bios", "bios.lzma", "foreign"}, asUpdate),
                  Outcome(fail("uncompressBiosCapFile.47: Cannot create BIOS "
                               "scratchpad."),
                          notUnwrapped,
                          {"biosscratchpad", "biosscratchpad/foreign"}));
    }
}

} // namespace
