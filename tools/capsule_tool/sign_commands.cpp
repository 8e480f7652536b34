// capsule-tool manifest, digest and attach: the root ceremony, and signing
// with keys the tool never holds (an HSM, an offline machine).

#include "builder/capsule_image.hpp"
#include "builder/manifest.hpp"
#include "capsule/layout.hpp"
#include "capsule_tool/command_line.hpp"
#include "capsule_tool/options.hpp"
#include "capsule_tool/release_keys.hpp"
#include "capsule_tool/signed_output.hpp"
#include "vardex/manifest_check.hpp"
#include "vardex/manifest_format.hpp"

#include <cstdio>
#include <optional>
#include <string>

namespace capsule_tool
{
namespace
{

constexpr const char* manifestUsage =
    "Usage: capsule-tool manifest --root-key KEY --image-pub PEM\n"
    "                             [--release-type N] -o <manifest>\n"
    "\n"
    "Signs a firmware manifest with the root key (the root ceremony): it\n"
    "binds the image public key and the release type. 'pack --manifest'\n"
    "then packs any number of images with it, without the root key. The\n"
    "manifest is written only once it verifies against the trusted root.\n"
    "\n"
    "Options:\n"
    "  --root-key KEY             root private key: PEM file or pkcs11: URI\n"
    "  --image-pub PEM            image-signing public key (ECDSA P-384)\n"
    "  --release-type N           release type byte 1..255 (default 2,\n"
    "                             production; any other is a prototype;\n"
    "                             0, none, is refused)\n"
    "  --root-pub PEM             the root public key it must verify against\n"
    "                             (default: this build's root key)\n"
    "  --pin-source env:NAME|file:PATH   the token's PIN\n"
    "  --passin env:NAME|file:PATH       pass phrase of an encrypted PEM\n"
    "  -o, --output PATH          manifest to write (required)\n"
    "  -h, --help                 print this text\n"
    "\n"
    "Exit statuses: 0 written, 2 usage error, 3 other error, 5 it would not\n"
    "verify against the trusted root key (nothing written).\n";

constexpr const char* digestUsage =
    "Usage: capsule-tool digest --manifest FILE [--root-pub PEM]\n"
    "                           [--image-rbu-length N] <raw image>\n"
    "                           -o <digest>\n"
    "       capsule-tool digest --image-pub PEM [--release-type N]\n"
    "                           -o <digest>\n"
    "\n"
    "Writes what a key held elsewhere must sign, as raw bytes:\n"
    "  - with --manifest, the SHA-512 of the image's signed part (RBU\n"
    "    header, manifest, raw image), for the image key; the manifest must\n"
    "    verify against the trusted root key (--root-pub, default: this\n"
    "    build's root key);\n"
    "  - with --image-pub, the SHA-384 of the manifest's signed part, for\n"
    "    the root key.\n"
    "Sign it as a digest (e.g. openssl pkeyutl -sign) into a DER ECDSA\n"
    "signature, and complete the capsule or manifest with 'attach'.\n"
    "\n"
    "Exit statuses: 0 written, 2 usage error, 3 other error, 5 the manifest\n"
    "does not verify against the trusted root key.\n";

constexpr const char* attachUsage =
    "Usage: capsule-tool attach --manifest FILE --signature SIG\n"
    "                           [layout options] <raw image> -o <capsule>\n"
    "       capsule-tool attach --image-pub PEM [--release-type N]\n"
    "                           --signature SIG -o <manifest>\n"
    "\n"
    "Completes a capsule (with --manifest) or a manifest (with --image-pub)\n"
    "with a DER ECDSA signature made over what 'digest' wrote. The signature\n"
    "must verify against the manifest's image key (for a capsule) or the\n"
    "trusted root key (for a manifest), and the result against the trusted\n"
    "root key, before anything is written.\n"
    "\n"
    "Options:\n"
    "  --root-pub PEM             the trusted root public key (default: this\n"
    "                             build's root key)\n"
    "  --image-rbu-length N, --capsule-rbu-length N, --preset N\n"
    "                             as for pack (the first as given to digest)\n"
    "  -o, --output PATH          capsule or manifest to write (required)\n"
    "  -h, --help                 print this text\n"
    "\n"
    "Exit statuses: 0 written, 2 usage error, 3 other error, 4 the signature\n"
    "does not verify, 5 the result would not verify against the trusted\n"
    "root key (nothing written in either case).\n";

constexpr const char* noReleaseType =
    "release type 0 is none: the updater refuses such an image";

// Largest DER ECDSA signature the tool takes (the image's slot size).
constexpr std::size_t maxSignatureSize = capsule::layout::signatureSlotSize;

// The signed part of a manifest for --image-pub and --release-type.
Bytes manifestToSign(const Options& o)
{
    const capsule::Key imagePub = loadPublicKey(o.imagePub);
    return imagePub ? capsule::manifestSignedPart(
                          capsule::publicKeyDer(imagePub),
                          static_cast<std::uint8_t>(o.releaseType))
                    : Bytes();
}

// The manifest from --manifest, verified against the trusted root; empty,
// reported, otherwise (status set).
Bytes trustedManifest(const Options& o, const Bytes& root, int& status)
{
    status = exitError;
    const auto manifest =
        readSmallFile(o.manifest, vardex::format::maxManifestSize);
    if (!manifest)
    {
        return {};
    }
    if (!manifestVerifies(*manifest, root))
    {
        std::fprintf(stderr,
                     "capsule-tool: %s does not verify against root key %s\n",
                     o.manifest.c_str(), rootDescription(root).c_str());
        status = exitWouldNotVerify;
        return {};
    }
    return *manifest;
}

// Writes a small output atomically and reports it.
int writeSmallOutput(const std::string& path, const Bytes& bytes,
                     const std::string& description)
{
    PendingOutput output(path);
    if (!output.write(bytes) || !output.commit())
    {
        std::fprintf(stderr, "capsule-tool: cannot write %s\n", path.c_str());
        return exitError;
    }
    std::printf("%s: %s\n", path.c_str(), description.c_str());
    return exitOk;
}

// The mode of digest and attach: an image (--manifest) or a manifest
// (--image-pub); a usage error message when the options do not fit.
const char* modeError(const Options& o, bool attaching)
{
    if (o.output.empty() || (attaching && !o.has(Option::signature)))
    {
        return attaching ? "--signature and -o are required" : "-o is required";
    }
    if (o.has(Option::manifest) == o.has(Option::imagePub))
    {
        return "give either --manifest (an image) or --image-pub (a manifest)";
    }
    if (o.has(Option::manifest) != (o.operands.size() == 1))
    {
        return o.has(Option::manifest) ? "a raw image is required"
                                       : "a manifest takes no raw image";
    }
    if (o.has(Option::manifest) && o.has(Option::releaseType))
    {
        return "the release type is the manifest's: no --release-type with "
               "--manifest";
    }
    return o.releaseType == 0 ? noReleaseType : nullptr;
}

int attachManifest(const Options& o, const Bytes& signature, const Bytes& root)
{
    const Bytes manifest =
        capsule::completeManifest(manifestToSign(o), signature);
    if (manifest.empty())
    {
        return exitError;
    }
    if (!manifestVerifies(manifest, root))
    {
        std::fprintf(stderr,
                     "capsule-tool: the signature does not verify against "
                     "root key %s: nothing written\n",
                     rootDescription(root).c_str());
        return exitBadSignature;
    }
    return writeSmallOutput(o.output, manifest,
                            "manifest verifies against root key " +
                                rootDescription(root));
}

int attachImage(const Options& o, const Bytes& signature, const Bytes& root)
{
    int status = exitOk;
    const Bytes manifest = trustedManifest(o, root, status);
    if (manifest.empty())
    {
        return status;
    }
    const Bytes keyDer = manifestImageKey(manifest);
    const capsule::Key imagePub(
        vardex::decodePublicKey(keyDer.data(), keyDer.size()));
    capsule::CheckedSignature checked(imagePub, EVP_sha512(), signature);
    return writeCapsule(o, manifest, checked, root);
}

} // namespace

int manifest(int argc, char** argv)
{
    int status = exitOk;
    const std::optional<Options> o = parseOptions(
        argc, argv,
        {Option::output, Option::rootKey, Option::imagePub, Option::rootPub,
         Option::releaseType, Option::pinSource, Option::passin},
        0, manifestUsage, status);
    if (!o)
    {
        return status;
    }
    if (o->rootKey.empty() || o->imagePub.empty() || o->output.empty())
    {
        return usageError("--root-key, --image-pub and -o are required",
                          manifestUsage);
    }
    if (o->releaseType == 0)
    {
        return usageError(noReleaseType, manifestUsage);
    }
    const std::optional<Bytes> root = trustedRoot(*o);
    capsule::KeyLoader loader(o->secrets);
    const capsule::Key rootKey = loadSigningKey(loader, o->rootKey);
    const Bytes signedPart = manifestToSign(*o);
    if (!root || !rootKey || signedPart.empty())
    {
        return exitError;
    }
    const Bytes manifest = capsule::completeManifest(
        signedPart, capsule::signData(signedPart.data(), signedPart.size(),
                                      rootKey, EVP_sha384()));
    if (!manifestVerifies(manifest, *root))
    {
        std::fprintf(stderr,
                     "capsule-tool: the manifest would not verify against "
                     "root key %s: nothing written\n",
                     rootDescription(*root).c_str());
        return exitWouldNotVerify;
    }
    return writeSmallOutput(o->output, manifest,
                            "manifest verifies against root key " +
                                rootDescription(*root));
}

int digest(int argc, char** argv)
{
    int status = exitOk;
    const std::optional<Options> o = parseOptions(
        argc, argv,
        {Option::output, Option::manifest, Option::imagePub, Option::rootPub,
         Option::releaseType, Option::imageRbuLength},
        1, digestUsage, status);
    if (!o)
    {
        return status;
    }
    if (const char* error = modeError(*o, false))
    {
        return usageError(error, digestUsage);
    }
    Bytes result;
    if (o->has(Option::imagePub))
    {
        const Bytes signedPart = manifestToSign(*o);
        result = signedPart.empty()
                     ? Bytes()
                     : capsule::digestBytes(signedPart, EVP_sha384());
    }
    else
    {
        // Nothing is signed for a manifest the trusted root would refuse.
        const std::optional<Bytes> root = trustedRoot(*o);
        const Bytes manifest =
            root ? trustedManifest(*o, *root, status) : Bytes();
        if (manifest.empty())
        {
            return root ? status : exitError;
        }
        result = capsule::digestSignedPart(o->operands.front(), manifest,
                                           EVP_sha512(), o->image);
    }
    if (result.empty())
    {
        std::fputs("capsule-tool: cannot compute the digest\n", stderr);
        return exitError;
    }
    return writeSmallOutput(o->output, result,
                            std::string(o->has(Option::imagePub)
                                            ? "SHA-384 for the root key "
                                            : "SHA-512 for the image key ") +
                                capsule::hexText(result));
}

int attach(int argc, char** argv)
{
    int status = exitOk;
    const std::optional<Options> o = parseOptions(
        argc, argv,
        {Option::output, Option::manifest, Option::imagePub, Option::signature,
         Option::rootPub, Option::releaseType, Option::imageRbuLength,
         Option::capsuleRbuLength, Option::preset},
        1, attachUsage, status);
    if (!o)
    {
        return status;
    }
    if (const char* error = modeError(*o, true))
    {
        return usageError(error, attachUsage);
    }
    const std::optional<Bytes> root = trustedRoot(*o);
    const auto signature = readSmallFile(o->signature, maxSignatureSize);
    if (!root || !signature)
    {
        return exitError;
    }
    return o->has(Option::imagePub) ? attachManifest(*o, *signature, *root)
                                    : attachImage(*o, *signature, *root);
}

} // namespace capsule_tool
