#include "capsule_tool/signed_output.hpp"

#include "builder/capsule_image.hpp"
#include "capsule_tool/capsule_check.hpp"
#include "capsule_tool/command_line.hpp"
#include "capsule_tool/release_keys.hpp"

#include <cstdio>
#include <string>

namespace capsule_tool
{

int writeCapsule(const Options& options, const capsule::Bytes& manifest,
                 capsule::StreamSigner& signer, const capsule::Bytes& root)
{
    const std::string& input = options.operands.front();
    PendingOutput output(options.output);
    if (output.path().empty() ||
        !capsule::packFile(input, manifest, signer, output.path(),
                           options.image, options.capsule))
    {
        if (signer.rejected())
        {
            std::fprintf(stderr,
                         "capsule-tool: the signature does not verify against "
                         "the manifest's image key over this image: nothing "
                         "written\n");
            return exitBadSignature;
        }
        std::fprintf(stderr, "capsule-tool: cannot pack %s into %s\n",
                     input.c_str(), options.output.c_str());
        return exitError;
    }
    const std::optional<Verdict> verdict = verifyCapsule(output.path(), &root);
    if (!verdict || !verdict->verified)
    {
        std::fprintf(stderr,
                     "capsule-tool: the capsule would not verify against root "
                     "key %s: nothing written\n",
                     rootDescription(root).c_str());
        return exitWouldNotVerify;
    }
    if (!output.commit())
    {
        std::fprintf(stderr, "capsule-tool: cannot write %s\n",
                     options.output.c_str());
        return exitError;
    }
    std::printf("%s: verifies against root key %s; image key sha256 %s\n",
                options.output.c_str(), rootDescription(root).c_str(),
                capsule::keyFingerprint(manifestImageKey(manifest)).c_str());
    return exitOk;
}

} // namespace capsule_tool
