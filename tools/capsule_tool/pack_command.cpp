// capsule-tool pack: a raw BIOS image into a signed capsule, written only
// once it verifies against the root key that will be trusted.

#include "builder/capsule_image.hpp"
#include "builder/manifest.hpp"
#include "capsule_tool/command_line.hpp"
#include "capsule_tool/options.hpp"
#include "capsule_tool/release_keys.hpp"
#include "capsule_tool/signed_output.hpp"
#include "vardex/manifest_format.hpp"

#include <optional>
#include <string>

namespace capsule_tool
{
namespace
{

constexpr const char* packUsage =
    "Usage: capsule-tool pack [options] <raw image> -o <capsule>\n"
    "\n"
    "Builds the image (RBU header + firmware manifest + raw image + 104-byte\n"
    "signature slot), compresses it with LZMA and wraps it in a UEFI capsule\n"
    "header and an RBU header. The raw image is streamed, never held whole.\n"
    "The capsule is written only once it verifies, with the updater's own\n"
    "code, against the trusted root key.\n"
    "\n"
    "Keys (ECDSA P-384; KEY is a PEM file or a pkcs11: URI):\n"
    "  --image-key KEY            image-signing private key, with either\n"
    "  --root-key KEY             the root private key (signs the manifest)\n"
    "  --manifest FILE            or a manifest made by 'capsule-tool\n"
    "                             manifest' (no root private key needed)\n"
    "  --development-keys         the DEVELOPMENT keys instead (public:\n"
    "                             never for production)\n"
    "  --root-pub PEM             the root public key the capsule must verify\n"
    "                             against (default: this build's root key)\n"
    "  --pin-source env:NAME|file:PATH   the token's PIN\n"
    "  --passin env:NAME|file:PATH       pass phrase of encrypted PEM keys\n"
    "\n"
    "Options:\n"
    "  -o, --output PATH          capsule to write (required)\n"
    "  --release-type N           release type byte 0..255 (default 2,\n"
    "                             production; 0 means none; not with\n"
    "                             --manifest)\n"
    "  --image-rbu-length N       image RBU header length byte (default 16)\n"
    "  --capsule-rbu-length N     capsule RBU header length byte (default 16)\n"
    "  --preset N                 LZMA preset 0..9 (default 6)\n"
    "  -h, --help                 print this text\n"
    "\n"
    "Exit statuses: 0 written, 2 usage error, 3 other error, 5 the capsule\n"
    "would not verify against the trusted root key (nothing written).\n";

// Which keys pack was given; a usage error message when they do not go
// together.
const char* keyChoiceError(const Options& o)
{
    if (o.developmentKeys)
    {
        return o.has(Option::imageKey) || o.has(Option::rootKey) ||
                       o.has(Option::manifest)
                   ? "--development-keys takes no other key or manifest"
                   : nullptr;
    }
    if (!o.has(Option::imageKey))
    {
        return "pack needs keys: --image-key with --root-key or --manifest "
               "(or --development-keys for a development capsule)";
    }
    if (o.has(Option::rootKey) == o.has(Option::manifest))
    {
        return "--image-key goes with one of --root-key and --manifest";
    }
    if (o.has(Option::manifest) && o.has(Option::releaseType))
    {
        return "the release type is the manifest's: no --release-type with "
               "--manifest";
    }
    return nullptr;
}

// The manifest to pack: read from --manifest, or signed here. Empty,
// reported, when it cannot be had or would not verify.
Bytes packManifest(const Options& o, capsule::KeyLoader& loader,
                   const capsule::Key& imageKey, const Bytes& root, int& status)
{
    status = exitError;
    Bytes manifest;
    if (o.has(Option::manifest))
    {
        const auto read =
            readSmallFile(o.manifest, vardex::format::maxManifestSize);
        manifest = read ? *read : Bytes();
    }
    else
    {
        const capsule::Key rootKey = o.developmentKeys
                                         ? capsule::developmentRootKey()
                                         : loadSigningKey(loader, o.rootKey);
        manifest = rootKey ? capsule::buildManifest(
                                 rootKey, imageKey,
                                 static_cast<std::uint8_t>(o.releaseType))
                           : Bytes();
    }
    if (manifest.empty())
    {
        return {};
    }
    status = exitWouldNotVerify;
    if (!manifestVerifies(manifest, root))
    {
        std::fprintf(stderr,
                     "capsule-tool: the manifest does not verify against root "
                     "key %s: nothing written\n",
                     rootDescription(root).c_str());
        return {};
    }
    if (manifestImageKey(manifest) != capsule::publicKeyDer(imageKey))
    {
        std::fputs("capsule-tool: the manifest names another image key than "
                   "--image-key: nothing written\n",
                   stderr);
        return {};
    }
    return manifest;
}

} // namespace

int pack(int argc, char** argv)
{
    int status = exitOk;
    const std::optional<Options> o = parseOptions(
        argc, argv,
        {Option::output, Option::rootKey, Option::imageKey, Option::rootPub,
         Option::manifest, Option::pinSource, Option::passin,
         Option::developmentKeys, Option::releaseType, Option::imageRbuLength,
         Option::capsuleRbuLength, Option::preset},
        1, packUsage, status);
    if (!o)
    {
        return status;
    }
    if (o->operands.empty() || o->output.empty())
    {
        return usageError("a raw image and -o <capsule> are required",
                          packUsage);
    }
    if (const char* error = keyChoiceError(*o))
    {
        return usageError(error, packUsage);
    }
    const std::optional<Bytes> root = trustedRoot(*o);
    capsule::KeyLoader loader(o->secrets);
    const capsule::Key imageKey = o->developmentKeys
                                      ? capsule::developmentImageKey()
                                      : loadSigningKey(loader, o->imageKey);
    if (!root || !imageKey)
    {
        return exitError;
    }
    const Bytes manifest = packManifest(*o, loader, imageKey, *root, status);
    if (manifest.empty())
    {
        return status;
    }
    capsule::Signer signer(imageKey, EVP_sha512());
    return writeCapsule(*o, manifest, signer, *root);
}

} // namespace capsule_tool
