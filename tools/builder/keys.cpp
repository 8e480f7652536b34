#include "builder/keys.hpp"

#include "handles/stdio.hpp"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <array>
#include <cstdio>
#include <string_view>

#ifndef CAPSULE_DEVELOPMENT_KEY_DIR
#error "CAPSULE_DEVELOPMENT_KEY_DIR must name keys/development"
#endif

namespace capsule
{

Key loadPrivateKey(const std::string& pemPath)
{
    const FilePtr file(std::fopen(pemPath.c_str(), "rb"));
    if (!file)
    {
        return nullptr;
    }
    return Key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
}

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

std::string keyFingerprint(const Bytes& publicKeyDer)
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(publicKeyDer.data(), publicKeyDer.size(), digest.data(),
                   &length, EVP_sha256(), nullptr) != 1)
    {
        return {};
    }
    static constexpr std::string_view hex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i)
    {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0x0F];
    }
    return text;
}

std::string developmentKeyPath(const std::string& name)
{
    return std::string(CAPSULE_DEVELOPMENT_KEY_DIR) + "/" + name;
}

std::string developmentRootKeyPath()
{
    return developmentKeyPath("manifest_root_private.pem");
}

std::string developmentImageKeyPath()
{
    return developmentKeyPath("image_signing_private.pem");
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
