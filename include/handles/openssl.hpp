#pragma once

// Owning handles of the OpenSSL objects the updater, the manifest library
// stand-in and the capsule tools use: freed on every way out.

#include <openssl/evp.h>

#include <memory>

struct PkeyFree
{
    void operator()(EVP_PKEY* key) const noexcept
    {
        EVP_PKEY_free(key);
    }
};

struct MdCtxFree
{
    void operator()(EVP_MD_CTX* ctx) const noexcept
    {
        EVP_MD_CTX_free(ctx);
    }
};

// An owned key; null when loading, decoding or generating failed.
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
