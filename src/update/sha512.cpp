#include "update/sha512.hpp"

#include "encoding/hex.hpp"

#include <span>

namespace update
{

Sha512::Sha512() :
    ctx(EVP_MD_CTX_new()),
    good(ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha512(), nullptr) == 1)
{}

void Sha512::update(const std::uint8_t* data, std::size_t size)
{
    good = good && EVP_DigestUpdate(ctx.get(), data, size) == 1;
}

bool Sha512::failed() const noexcept
{
    return !good;
}

std::optional<Sha512Bytes> Sha512::finish()
{
    Sha512Bytes md{};
    unsigned int length = 0;
    if (!good || EVP_DigestFinal_ex(ctx.get(), md.data(), &length) != 1 ||
        length != md.size())
    {
        good = false;
        return std::nullopt;
    }
    good = false;
    return md;
}

std::string Sha512::finishHex()
{
    const std::optional<Sha512Bytes> md = finish();
    return md ? encoding::lowerHex(std::span(md->data(), md->size()))
              : std::string();
}

} // namespace update
