#pragma once

// Where the private keys of a release come from: a PEM file (an encrypted
// one with a pass phrase from --passin) or a PKCS#11 token ("pkcs11:" URI,
// its PIN from --pin-source). Secrets are never taken from the command line
// and never prompted for.

#include "builder/keys.hpp"
#include "builder/pkcs11_token.hpp"

#include <optional>
#include <string>

namespace capsule
{

// A secret named as OpenSSL's pass-phrase options name them: "env:NAME"
// (an environment variable) or "file:PATH" (the file's first line).
// nullopt when it cannot be had, with the reason in `error`.
std::optional<std::string> readSecret(const std::string& source,
                                      std::string& error);

struct SecretSources
{
    std::string passin; // pass phrase of encrypted PEM keys
    std::string pin;    // PIN of the token
};

class KeyLoader
{
  public:
    explicit KeyLoader(SecretSources sources) : sources(std::move(sources))
    {}

    // The private key named by a PEM path or a pkcs11: URI; empty on
    // failure, with the reason in error(). Keys from a token must not
    // outlive this object.
    Key load(const std::string& name);

    const std::string& error() const
    {
        return reason;
    }

  private:
    Key loadPem(const std::string& path);
    Key loadFromToken(const std::string& uri);

    SecretSources sources;
    TokenKeys token;
    std::string reason;
};

} // namespace capsule
