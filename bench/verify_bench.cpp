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

#include "capsule/layout.hpp"
#include "handles/stdio.hpp"
#include "paths.hpp"
#include "update/bios_image_context.hpp"
#include "update/verify_image.hpp"
#include "vardex/fw_manifest.hpp"

#include <sys/resource.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

int timeSignature(const char* imagePath, int rounds)
{
    const FilePtr image(std::fopen(imagePath, "rb"));
    if (!image || std::fseek(image.get(), 0, SEEK_END) != 0)
    {
        std::fprintf(stderr, "verify_bench: cannot open %s\n", imagePath);
        return 1;
    }
    const auto size = static_cast<std::uint32_t>(std::ftell(image.get()));
    capsule::layout::RbuHeaderWords rbu{};
    if (std::fseek(image.get(), 0, SEEK_SET) != 0 ||
        std::fread(rbu.data(), 1, rbu.size(), image.get()) != rbu.size() ||
        std::fseek(image.get(), rbu[capsule::layout::rbuLengthOffset],
                   SEEK_SET) != 0)
    {
        std::fprintf(stderr, "verify_bench: no RBU header\n");
        return 1;
    }
    FwManifest manifest(image.get());
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
            update::signature_verify(image.get(), size, keyRecord);
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
    std::printf("signature_verify bytes=%u seconds=%.4f MiBps=%.1f\n", size,
                best, size / best / 1048576.0);
    return 0;
}

int runUpdate(const char* capsulePath)
{
    int rc = 0;
    bool passed = false;
    {
        update::BiosImageContext ctx(
            capsulePath,
            update::ScratchArea::in(paths::bmc().scratchDirectory));
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
        const int rounds =
            argc >= 4 ? static_cast<int>(std::strtol(argv[3], nullptr, 10)) : 3;
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
