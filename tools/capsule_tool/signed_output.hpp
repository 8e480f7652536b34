#pragma once

// Writing a capsule: packed under a temporary name, verified with the
// updater's own code against the trusted root key, and only then put in
// place.

#include "builder/keys.hpp"
#include "capsule_tool/options.hpp"

namespace capsule_tool
{

// Packs the raw image (the operand) with the manifest into -o, the slot
// signed by `signer`. Returns the exit status, having reported the outcome.
int writeCapsule(const Options& options, const capsule::Bytes& manifest,
                 capsule::StreamSigner& signer, const capsule::Bytes& root);

} // namespace capsule_tool
