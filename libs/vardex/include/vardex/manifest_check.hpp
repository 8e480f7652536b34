#pragma once

// The checks that authenticate a firmware manifest, against a root key given
// by the caller: libvardex's FwManifest runs them against the root key built
// into it, the capsule tool against the root key a release is made for.

#include "handles/openssl.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace vardex
{

// True for an ECDSA key on P-384, the only curve of root and image keys.
bool isP384Key(EVP_PKEY* key);

// A public key decoded from DER; empty unless the DER is well formed and is
// exactly `size` bytes long.
PkeyPtr decodePublicKey(const std::uint8_t* der, std::size_t size);

// Reads the manifest from the stream into `manifest` with bounded reads.
// Returns false when the stream ends early or a field is out of bounds.
bool readManifest(std::FILE* stream, std::vector<std::uint8_t>& manifest);

// Checks a manifest that readManifest accepted: its root signature verifies
// against the P-384 root key `rootDer` (DER SubjectPublicKeyInfo) and it
// carries a P-384 image key.
bool manifestAuthentic(const std::vector<std::uint8_t>& manifest,
                       const std::uint8_t* rootDer, std::size_t rootSize);

// The key record handed to the caller: host-order 16-bit length + DER.
void buildKeyRecord(const std::vector<std::uint8_t>& manifest,
                    std::vector<std::uint8_t>& record);

} // namespace vardex
