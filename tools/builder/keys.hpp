#pragma once

// Keys and signatures of the capsule builder: the development keys, fresh
// P-384 keys for tests, DER encodings, fingerprints, and DER ECDSA
// signatures.

#include "builder/bytes.hpp"
#include "handles/openssl.hpp"

#include <openssl/evp.h>

#include <cstddef>
#include <string>

namespace capsule
{

// An owned OpenSSL key; empty (null) when loading or generating failed.
using Key = PkeyPtr;

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

// True for an ECDSA P-384 key (private or public), the curve of both the
// root and the image key.
bool isP384Key(const Key& key);

// Bytes as lower-case hex.
std::string hexText(const Bytes& bytes);

// SHA-256 of the DER SubjectPublicKeyInfo, as lower-case hex.
std::string keyFingerprint(const Bytes& publicKeyDer);

// The committed development keys (keys/development/: NEVER for production),
// built into the program so that it names no path of the source tree.
Key developmentRootKey();  // manifest_root_private.pem
Key developmentImageKey(); // image_signing_private.pem
// DER SubjectPublicKeyInfo of the development root key.
Bytes developmentRootDer();

// Makes the DER signature of data fed in pieces.
class StreamSigner
{
  public:
    StreamSigner() = default;
    StreamSigner(const StreamSigner&) = delete;
    StreamSigner& operator=(const StreamSigner&) = delete;
    StreamSigner(StreamSigner&&) = delete;
    StreamSigner& operator=(StreamSigner&&) = delete;
    virtual ~StreamSigner() = default;

    virtual bool update(const std::uint8_t* data, std::size_t size) = 0;
    // The signature; empty on failure.
    virtual Bytes finish() = 0;
    // True once finish() turned down a signature that does not verify.
    virtual bool rejected() const
    {
        return false;
    }
};

// Signs with a private key.
class Signer : public StreamSigner
{
  public:
    Signer(const Key& key, const EVP_MD* digest);

    // False when the key cannot sign with the digest.
    bool ready() const
    {
        return ctx != nullptr;
    }
    bool update(const std::uint8_t* data, std::size_t size) override;
    Bytes finish() override;

  private:
    MdCtxPtr ctx;
};

// Hands on a signature made elsewhere, only if it verifies against the
// public key over the data fed.
class CheckedSignature : public StreamSigner
{
  public:
    CheckedSignature(const Key& publicKey, const EVP_MD* digest,
                     Bytes signature);

    bool update(const std::uint8_t* data, std::size_t size) override;
    // The signature; empty when it does not verify.
    Bytes finish() override;
    bool rejected() const override
    {
        return refused;
    }

  private:
    MdCtxPtr ctx;
    Bytes signature;
    bool refused = false;
};

// The digest of `data`; empty on failure.
Bytes digestBytes(const Bytes& data, const EVP_MD* digest);

// DER ECDSA signature of `data` with the given digest; empty on failure.
Bytes signData(const std::uint8_t* data, std::size_t size, const Key& key,
               const EVP_MD* digest);

} // namespace capsule
