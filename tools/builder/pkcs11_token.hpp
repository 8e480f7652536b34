#pragma once

// Private keys held in a PKCS#11 token, named by RFC 7512 "pkcs11:" URIs.
// This is the one place that knows how the token is reached (today the
// pkcs11 engine of libengine-pkcs11-openssl, through OpenSSL's engine API):
// moving to another route changes this file and its source only.

#include "builder/keys.hpp"

#include <memory>
#include <optional>
#include <string>

namespace capsule
{

bool isTokenUri(const std::string& name);

// What a "pkcs11:" URI asks of the token, read by the URI's grammar: path
// attributes separated by ';', then after '?' query attributes separated
// by '&', each "name=value" with the value percent-encoded.
struct TokenUri
{
    std::string object;     // "pkcs11:" and the path: what names the key
    std::string modulePath; // the "module-path" query attribute, decoded
};

// The URI taken apart; nullopt, with the reason in `error`, when it breaks
// the grammar or carries its PIN ("pin-value") or the PIN's source
// ("pin-source") in its path or its query. The reason never quotes the URI.
std::optional<TokenUri> parseTokenUri(const std::string& uri,
                                      std::string& error);

// `name` as messages may show it: a URI that could carry a PIN is not
// shown.
std::string keyNameForMessages(const std::string& name);

class TokenKeys
{
  public:
    TokenKeys();
    // Releases the engine, and with it the token's module, before the
    // process exits: keys loaded through it must be gone by then.
    ~TokenKeys();
    TokenKeys(const TokenKeys&) = delete;
    TokenKeys& operator=(const TokenKeys&) = delete;
    TokenKeys(TokenKeys&&) = delete;
    TokenKeys& operator=(TokenKeys&&) = delete;

    // The private key the URI names, logging in with `pin` (none when
    // empty). The module is the URI's module path or, without one, the
    // engine's configured module. Empty on failure, with the reason in
    // `error`: the token's own cause where it gives one. Never prompts.
    Key load(const TokenUri& uri, const std::string& pin, std::string& error);

  private:
    struct Engine;
    std::unique_ptr<Engine> engine;
};

} // namespace capsule
