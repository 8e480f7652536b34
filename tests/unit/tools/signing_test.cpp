// The capsule tool's signing pieces where its command line does not reach
// them one by one: secret sources, a signature made elsewhere, the digest
// handed out against what pack signs, manifests read from files, outputs
// that appear only once complete, and option parsing.

#include "builder/capsule_image.hpp"
#include "builder/key_source.hpp"
#include "builder/manifest.hpp"
#include "capsule_fixture.hpp"
#include "capsule_tool/command_line.hpp"
#include "capsule_tool/options.hpp"
#include "capsule_tool/release_keys.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace
{

using namespace fixture;
namespace fs = std::filesystem;

fs::path scratch(const std::string& name)
{
    return fs::path(testing::TempDir()) / name;
}

struct SecretCase
{
    std::string source;
    std::optional<std::string> secret;
    std::string error;
};

class Secrets : public testing::TestWithParam<SecretCase>
{};

TEST_P(Secrets, AreTakenOnlyFromTheEnvironmentOrAFile)
{
    setenv("SIGNING_TEST_SECRET", "s3cret", 1);
    std::ofstream(scratch("secret")) << "line one\r\nline two\n";
    std::string error;
    EXPECT_EQ(capsule::readSecret(GetParam().source, error), GetParam().secret);
    EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Sources, Secrets,
    testing::Values(
        SecretCase{"env:SIGNING_TEST_SECRET", "s3cret", ""},
        SecretCase{"env:SIGNING_TEST_UNSET", std::nullopt, "is not set"},
        SecretCase{"file:" + scratch("secret").string(), "line one", ""},
        SecretCase{"file:" + scratch("none").string(), std::nullopt,
                   "cannot read the secret file"},
        // OpenSSL's pass: form would put the secret on the command line.
        SecretCase{"pass:s3cret", std::nullopt,
                   "named env:NAME or file:PATH"}));

TEST(CheckedSignature, HandsOnOnlyASignatureThatVerifies)
{
    const Bytes data(1000, 0x5A);
    const Bytes good =
        capsule::signData(data.data(), data.size(), imageKey(), EVP_sha512());
    for (const bool tampered : {false, true})
    {
        Bytes signature = good;
        signature.back() ^= tampered ? 1 : 0;
        capsule::CheckedSignature checked(imageKey(), EVP_sha512(), signature);
        ASSERT_TRUE(checked.update(data.data(), data.size()));
        EXPECT_EQ(checked.finish(), tampered ? Bytes() : good);
        EXPECT_EQ(checked.rejected(), tampered);
    }
}

// The digest handed out for signing elsewhere is that of the bytes pack
// signs, for any image RBU header length.
TEST(DigestSignedPart, IsTheDigestOfWhatPackSigns)
{
    const Bytes payload(300000, 0xC3);
    const Bytes manifest = capsule::buildManifest(rootKey(), imageKey(), 2);
    std::ofstream(scratch("payload"), std::ios::binary)
        .write(reinterpret_cast<const char*>(payload.data()),
               static_cast<std::streamsize>(payload.size()));
    for (const std::uint8_t length : {0, 16, 255})
    {
        const capsule::ImageLayout layout{length};
        EXPECT_EQ(capsule::digestSignedPart(scratch("payload"), manifest,
                                            EVP_sha512(), layout),
                  capsule::digestBytes(
                      capsule::buildSignedPart(payload, manifest, layout),
                      EVP_sha512()));
    }
}

TEST(ManifestFile, VerifiesOnlyWholeAndAgainstItsRoot)
{
    const Bytes manifest = capsule::buildManifest(rootKey(), imageKey(), 2);
    const Bytes root = capsule::publicKeyDer(rootKey());
    Bytes longer = manifest;
    longer.push_back(0);
    EXPECT_TRUE(capsule_tool::manifestVerifies(manifest, root));
    EXPECT_FALSE(capsule_tool::manifestVerifies(
        manifest, capsule::publicKeyDer(imageKey())));
    EXPECT_FALSE(capsule_tool::manifestVerifies(longer, root));
    EXPECT_FALSE(capsule_tool::manifestVerifies({}, root));
    EXPECT_EQ(capsule_tool::manifestImageKey(manifest),
              capsule::publicKeyDer(imageKey()));
}

TEST(PendingOutput, AppearsOnlyOnceCommitted)
{
    const fs::path folder = scratch("pending");
    fs::remove_all(folder);
    fs::create_directory(folder);
    const std::string final = (folder / "out").string();
    {
        const capsule_tool::PendingOutput abandoned(final);
        ASSERT_TRUE(abandoned.write({1, 2, 3}));
    }
    EXPECT_TRUE(fs::is_empty(folder));
    capsule_tool::PendingOutput output(final);
    ASSERT_TRUE(output.write({1, 2, 3}) && output.commit());
    struct stat status = {};
    ASSERT_EQ(stat(final.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644U);
    EXPECT_EQ(fs::file_size(final), 3U);
    EXPECT_EQ(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()),
        1);
}

using Option = capsule_tool::Option;

// Words after the verb, and the exit status when parsing stops (-1: it
// goes on).
class Options :
    public testing::TestWithParam<std::tuple<std::vector<std::string>, int>>
{};

TEST_P(Options, AreTakenOnlyWhereTheVerbAllowsThem)
{
    std::vector<std::string> words = {"verb"};
    const auto& [more, status] = GetParam();
    words.insert(words.end(), more.begin(), more.end());
    std::vector<char*> argv;
    argv.reserve(words.size());
    for (std::string& word : words)
    {
        argv.push_back(word.data());
    }
    int result = -1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const auto options = capsule_tool::parseOptions(
        static_cast<int>(argv.size()), argv.data(),
        {Option::output, Option::rootKey, Option::developmentKeys}, 1,
        "usage\n", result);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(options.has_value(), status == -1);
    EXPECT_EQ(result, status);
    if (options)
    {
        EXPECT_EQ(options->rootKey, "r.pem");
        EXPECT_TRUE(options->developmentKeys);
        EXPECT_TRUE(options->has(Option::developmentKeys));
        EXPECT_EQ(options->operands, std::vector<std::string>{"raw"});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Words, Options,
    testing::Values(
        std::make_tuple(std::vector<std::string>{"--root-key", "r.pem", "raw",
                                                 "--development-keys"},
                        -1),
        std::make_tuple(std::vector<std::string>{"--json", "raw"},
                        capsule_tool::exitUsage),
        std::make_tuple(std::vector<std::string>{"--root-key", "", "raw"},
                        capsule_tool::exitUsage),
        std::make_tuple(std::vector<std::string>{"raw", "more"},
                        capsule_tool::exitUsage),
        std::make_tuple(std::vector<std::string>{"--root-key"},
                        capsule_tool::exitUsage),
        std::make_tuple(std::vector<std::string>{"raw", "help"},
                        capsule_tool::exitOk)));

} // namespace
