#pragma once

// The keys of a release as the capsule tool's verbs take them: the root
// public key results are checked against, the signing keys (P-384 only),
// manifests and signatures read from files, and outputs that appear only
// once they are complete.

#include "builder/key_source.hpp"
#include "capsule_tool/options.hpp"

#include <optional>
#include <string>

namespace capsule_tool
{

using capsule::Bytes;

// The root public key (DER SubjectPublicKeyInfo) that will be trusted:
// --root-pub's, or the one built into this build's manifest library.
// nullopt, reported, when --root-pub cannot be used.
std::optional<Bytes> trustedRoot(const Options& options);

bool isDevelopmentRoot(const Bytes& rootDer);

// "sha256 <fingerprint>", with " (development root key)" for that key.
std::string rootDescription(const Bytes& rootDer);

// A private signing key by PEM path or pkcs11: URI; empty, reported, when
// it cannot be loaded or is not an ECDSA P-384 key.
capsule::Key loadSigningKey(capsule::KeyLoader& loader,
                            const std::string& name);

// A P-384 public key from a PEM file; empty, reported, otherwise.
capsule::Key loadPublicKey(const std::string& path);

// A whole file of at most `maxSize` bytes; nullopt, reported, otherwise.
std::optional<Bytes> readSmallFile(const std::string& path,
                                   std::size_t maxSize);

// True when `manifest` is exactly one manifest, as the manifest library
// reads it, that verifies against the root key.
bool manifestVerifies(const Bytes& manifest, const Bytes& rootDer);

// The image key's DER carried by a manifest; empty when malformed.
Bytes manifestImageKey(const Bytes& manifest);

// An output file written under a temporary name beside its final one and
// renamed into place by commit(); removed if never committed.
class PendingOutput
{
  public:
    explicit PendingOutput(std::string path);
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;
    PendingOutput(PendingOutput&&) = delete;
    PendingOutput& operator=(PendingOutput&&) = delete;

    // The temporary name; empty when it could not be made.
    const std::string& path() const
    {
        return temporary;
    }
    bool write(const Bytes& bytes) const;
    bool commit();

  private:
    std::string final;
    std::string temporary;
};

} // namespace capsule_tool
