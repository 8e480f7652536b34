#pragma once

// Private keys held in a PKCS#11 token, named by RFC 7512 "pkcs11:" URIs.
// This is the one place that knows how the token is reached (today the
// pkcs11 engine of libengine-pkcs11-openssl, through OpenSSL's engine API):
// moving to another route changes this file and its source only.

#include "builder/keys.hpp"

#include <memory>
#include <string>

namespace capsule
{

bool isTokenUri(const std::string& name);

class TokenKeys
{
  public:
    TokenKeys();
    ~TokenKeys();
    TokenKeys(const TokenKeys&) = delete;
    TokenKeys& operator=(const TokenKeys&) = delete;
    TokenKeys(TokenKeys&&) = delete;
    TokenKeys& operator=(TokenKeys&&) = delete;

    // The private key the URI names, logging in with `pin` (none when
    // empty). The URI's "module-path" query attribute names the PKCS#11
    // module; without it the engine's configured module is used. Empty on
    // failure, with the reason in `error`. Never prompts.
    Key load(const std::string& uri, const std::string& pin,
             std::string& error);

  private:
    struct Engine;
    std::unique_ptr<Engine> engine;
};

} // namespace capsule
