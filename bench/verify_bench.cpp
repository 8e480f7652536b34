// Image verification benchmark; run through verify_bench.sh.
//
//   verify_bench signature <image> [rounds]
//       Verifies the image's manifest once, then times signature_verify
//       over the whole image `rounds` times (default 3) and prints the best
//       round: "signature_verify bytes=<n> seconds=<s> MiBps=<r>".
//   verify_bench update <capsule>
//       Unwraps the capsule on the updater's own scratch paths and verifies
//       it, as an update does, then prints "rc=<n> passed=<0|1>
//       maxrss_kib=<n>" with this process's own peak resident set (the xz
//       child is not counted). Run it in a private mount namespace.

#include "platform/fw_manifest.hpp"
#include "update/bios_image_context.hpp"
#include "update/verify_image.hpp"

#include <sys/resource.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

struct FileCloser
{
    void operator()(std::FILE* file) const
    {
        std::fclose(file);
    }
};

int timeSignature(const char* imagePath, int rounds)
{
    // The context only borrows the file here; its scratch area is a
    // directory that does not exist.
    static const update::ScratchArea nowhere{
        "/nonexistent/verify_bench", "/nonexistent/verify_bench/bios.lzma",
        "/nonexistent/verify_bench/bios"};
    update::BiosImageContext ctx(imagePath, nowhere);
    if (ctx.file == nullptr || std::fseek(ctx.file, 0, SEEK_END) != 0)
    {
        std::fprintf(stderr, "verify_bench: cannot open %s\n", imagePath);
        return 1;
    }
    ctx.imageSize = static_cast<std::uint32_t>(std::ftell(ctx.file));
    std::array<std::uint8_t, 8> rbu{};
    if (std::fseek(ctx.file, 0, SEEK_SET) != 0 ||
        std::fread(rbu.data(), 1, rbu.size(), ctx.file) != rbu.size() ||
        std::fseek(ctx.file, rbu[4], SEEK_SET) != 0)
    {
        std::fprintf(stderr, "verify_bench: no RBU header\n");
        return 1;
    }
    FwManifest manifest(ctx.file);
    const std::uint8_t* keyRecord = manifest.VerifyManifest();
    if (keyRecord == nullptr)
    {
        std::fprintf(stderr, "verify_bench: manifest does not verify\n");
        return 1;
    }
    double best = 0;
    for (int round = 0; round < rounds; ++round)
    {
        const auto start = std::chrono::steady_clock::now();
        const int result =
            update::signature_verify(ctx.file, ctx.imageSize, keyRecord);
        const std::chrono::duration<double> took =
            std::chrono::steady_clock::now() - start;
        if (result != 0)
        {
            std::fprintf(stderr, "verify_bench: signature does not verify\n");
            return 1;
        }
        if (round == 0 || took.count() < best)
        {
            best = took.count();
        }
    }
    std::printf("signature_verify bytes=%u seconds=%.4f MiBps=%.1f\n",
                ctx.imageSize, best, ctx.imageSize / best / 1048576.0);
    return 0;
}

int runUpdate(const char* capsulePath)
{
    int rc = 0;
    bool passed = false;
    {
        update::BiosImageContext ctx(capsulePath);
        rc = update::uncompressBiosCapFile(ctx);
        passed = rc == 0 && update::verifyBiosImage(ctx);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("rc=%d passed=%d maxrss_kib=%ld\n", rc, passed ? 1 : 0,
                usage.ru_maxrss);
    return passed ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc >= 3 && std::strcmp(argv[1], "signature") == 0)
    {
        const int rounds = argc >= 4 ? std::atoi(argv[3]) : 3;
        return timeSignature(argv[2], rounds > 0 ? rounds : 1);
    }
    if (argc == 3 && std::strcmp(argv[1], "update") == 0)
    {
        return runUpdate(argv[2]);
    }
    std::fprintf(stderr, "usage: verify_bench signature <image> [rounds]\n"
                         "       verify_bench update <capsule>\n");
    return 2;
}
