#pragma once

// Owning handles of the OpenSSL objects the updater, the manifest library
// stand-in and the capsule tools use: freed on every way out.

#include <openssl/bio.h>
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

struct PkeyCtxFree
{
    void operator()(EVP_PKEY_CTX* ctx) const noexcept
    {
        EVP_PKEY_CTX_free(ctx);
    }
};

struct BioFree
{
    void operator()(BIO* bio) const noexcept
    {
        BIO_free(bio);
    }
};

// An owned key; null when loading, decoding or generating failed.
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
