#pragma once

// Keys and signatures of the capsule builder: the development keys, fresh
// P-384 keys for tests, DER encodings, and DER ECDSA signatures.

#include "builder/bytes.hpp"
#include "handles/openssl.hpp"

#include <openssl/evp.h>

#include <cstddef>
#include <string>

namespace capsule
{

// An owned OpenSSL key; empty (null) when loading or generating failed.
using Key = PkeyPtr;

// A private key from a PEM file (any type OpenSSL reads; the manifest
// library accepts only P-384 image keys). Empty on failure.
Key loadPrivateKey(const std::string& pemPath);

// A public key from a PEM "PUBLIC KEY" file. Empty on failure.
Key loadPublicKey(const std::string& pemPath);

// A fresh ECDSA P-384 key pair (for tests).
Key generateP384Key();

// DER SubjectPublicKeyInfo of the key's public half; empty on failure.
Bytes publicKeyDer(const EVP_PKEY* key);
inline Bytes publicKeyDer(const Key& key)
{
    return publicKeyDer(key.get());
}

// SHA-256 of the DER SubjectPublicKeyInfo, as lower-case hex.
std::string keyFingerprint(const Bytes& publicKeyDer);

// Committed development keys (NEVER for production) in the source tree:
// "manifest_root_private.pem", "manifest_root_public.pem",
// "image_signing_private.pem", "image_signing_public.pem".
std::string developmentKeyPath(const std::string& name);
std::string developmentRootKeyPath();  // manifest_root_private.pem
std::string developmentImageKeyPath(); // image_signing_private.pem

// A DER signature of data fed in pieces.
class Signer
{
  public:
    Signer(const Key& key, const EVP_MD* digest);

    // False when the key cannot sign with the digest.
    bool ready() const
    {
        return ctx != nullptr;
    }
    bool update(const std::uint8_t* data, std::size_t size);
    // The signature; empty on failure.
    Bytes finish();

  private:
    MdCtxPtr ctx;
};

// DER ECDSA signature of `data` with the given digest; empty on failure.
Bytes signData(const std::uint8_t* data, std::size_t size, const Key& key,
               const EVP_MD* digest);

} // namespace capsule
