#include "builder/keys.hpp"

#include "development_keys.hpp"
#include "encoding/hex.hpp"
#include "handles/stdio.hpp"
#include "vardex/manifest_check.hpp"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <array>
#include <cstdio>
#include <string_view>
#include <utility>

namespace capsule
{
namespace
{

Key privateKeyFromText(const char* pem)
{
    const BioPtr bio(BIO_new_mem_buf(pem, -1));
    if (!bio)
    {
        return nullptr;
    }
    return Key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

} // namespace

Key loadPublicKey(const std::string& pemPath)
{
    const FilePtr file(std::fopen(pemPath.c_str(), "rb"));
    if (!file)
    {
        return nullptr;
    }
    return Key(PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr));
}

Key generateP384Key()
{
    return Key(EVP_EC_gen("P-384"));
}

Bytes publicKeyDer(const EVP_PKEY* key)
{
    if (key == nullptr)
    {
        return {};
    }
    const int length = i2d_PUBKEY(key, nullptr);
    if (length <= 0)
    {
        return {};
    }
    Bytes der(static_cast<std::size_t>(length));
    unsigned char* cursor = der.data();
    if (i2d_PUBKEY(key, &cursor) != length)
    {
        return {};
    }
    return der;
}

std::string hexText(const Bytes& bytes)
{
    return encoding::lowerHex(bytes);
}

std::string keyFingerprint(const Bytes& publicKeyDer)
{
    return hexText(digestBytes(publicKeyDer, EVP_sha256()));
}

bool isP384Key(const Key& key)
{
    const Bytes der = publicKeyDer(key);
    const PkeyPtr publicHalf = vardex::decodePublicKey(der.data(), der.size());
    return publicHalf && vardex::isP384Key(publicHalf.get());
}

Key developmentRootKey()
{
    return privateKeyFromText(embedded::developmentRootPem);
}

Key developmentImageKey()
{
    return privateKeyFromText(embedded::developmentImagePem);
}

Bytes developmentRootDer()
{
    return publicKeyDer(developmentRootKey());
}

Signer::Signer(const Key& key, const EVP_MD* digest) : ctx(EVP_MD_CTX_new())
{
    if (ctx && (!key || EVP_DigestSignInit(ctx.get(), nullptr, digest, nullptr,
                                           key.get()) != 1))
    {
        ctx.reset();
    }
}

bool Signer::update(const std::uint8_t* data, std::size_t size)
{
    return ctx && EVP_DigestSignUpdate(ctx.get(), data, size) == 1;
}

Bytes Signer::finish()
{
    std::size_t length = 0;
    if (!ctx || EVP_DigestSignFinal(ctx.get(), nullptr, &length) != 1)
    {
        return {};
    }
    Bytes signature(length);
    if (EVP_DigestSignFinal(ctx.get(), signature.data(), &length) != 1)
    {
        return {};
    }
    signature.resize(length);
    return signature;
}

CheckedSignature::CheckedSignature(const Key& publicKey, const EVP_MD* digest,
                                   Bytes signature) :
    ctx(EVP_MD_CTX_new()),
    signature(std::move(signature))
{
    if (ctx &&
        (!publicKey || EVP_DigestVerifyInit(ctx.get(), nullptr, digest, nullptr,
                                            publicKey.get()) != 1))
    {
        ctx.reset();
    }
}

bool CheckedSignature::update(const std::uint8_t* data, std::size_t size)
{
    return ctx && EVP_DigestVerifyUpdate(ctx.get(), data, size) == 1;
}

Bytes CheckedSignature::finish()
{
    if (!ctx || EVP_DigestVerifyFinal(ctx.get(), signature.data(),
                                      signature.size()) != 1)
    {
        refused = ctx != nullptr;
        return {};
    }
    return signature;
}

Bytes digestBytes(const Bytes& data, const EVP_MD* digest)
{
    Bytes result(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), result.data(), &length, digest,
                   nullptr) != 1)
    {
        return {};
    }
    result.resize(length);
    return result;
}

Bytes signData(const std::uint8_t* data, std::size_t size, const Key& key,
               const EVP_MD* digest)
{
    Signer signer(key, digest);
    if (!signer.update(data, size))
    {
        return {};
    }
    return signer.finish();
}

} // namespace capsule
