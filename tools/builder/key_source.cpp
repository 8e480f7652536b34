#include "builder/key_source.hpp"

#include "handles/openssl.hpp"
#include "handles/stdio.hpp"

#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace capsule
{
namespace
{

constexpr std::string_view envPrefix = "env:";
constexpr std::string_view filePrefix = "file:";
constexpr std::size_t maxSecretLength = 1024;
// Does not quote the value: what was typed may be the secret itself.
constexpr const char* notASource = "a secret is named env:NAME or file:PATH; "
                                   "the value given is neither (not shown)";

std::optional<std::string> firstLineOf(const std::string& path,
                                       std::string& error)
{
    const FilePtr file(std::fopen(path.c_str(), "rb"));
    std::array<char, maxSecretLength + 2> line{};
    if (!file || std::fgets(line.data(), line.size(), file.get()) == nullptr)
    {
        error = "cannot read the secret file " + path;
        return std::nullopt;
    }
    std::string text(line.data());
    text.erase(std::min(text.find_first_of("\r\n"), text.size()));
    return text;
}

// What the PEM reader's pass-phrase callback needs and reports.
struct PassPhrase
{
    const std::optional<std::string>* secret;
    bool asked = false;
};

int passPhraseCallback(char* buffer, int size, int /*writing*/, void* data)
{
    auto* phrase = static_cast<PassPhrase*>(data);
    phrase->asked = true;
    if (!phrase->secret->has_value() ||
        (*phrase->secret)->size() > static_cast<std::size_t>(size))
    {
        return -1;
    }
    const std::string& text = **phrase->secret;
    std::copy(text.begin(), text.end(), buffer);
    return static_cast<int>(text.size());
}

// Overwrites a secret once it has been used.
void wipe(std::optional<std::string>& secret)
{
    if (secret)
    {
        std::string& text = *secret;
        OPENSSL_cleanse(text.data(), text.size());
    }
}

} // namespace

std::optional<std::string> readSecret(const std::string& source,
                                      std::string& error)
{
    if (source.rfind(envPrefix, 0) == 0)
    {
        const std::string name = source.substr(envPrefix.size());
        const char* value = std::getenv(name.c_str());
        if (value == nullptr)
        {
            error = "the environment variable " + name + " is not set";
            return std::nullopt;
        }
        return std::string(value);
    }
    if (source.rfind(filePrefix, 0) == 0)
    {
        return firstLineOf(source.substr(filePrefix.size()), error);
    }
    error = notASource;
    return std::nullopt;
}

Key KeyLoader::load(const std::string& name)
{
    reason.clear();
    return isTokenUri(name) ? loadFromToken(name) : loadPem(name);
}

Key KeyLoader::loadPem(const std::string& path)
{
    std::optional<std::string> secret;
    if (!sources.passin.empty() &&
        !(secret = readSecret(sources.passin, reason)))
    {
        return nullptr;
    }
    const FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file)
    {
        reason = "cannot read " + path;
        return nullptr;
    }
    PassPhrase phrase{&secret};
    Key key(
        PEM_read_PrivateKey(file.get(), nullptr, passPhraseCallback, &phrase));
    wipe(secret);
    if (!key)
    {
        reason = !phrase.asked ? "no private key in " + path
                 : secret      ? "cannot decrypt " + path +
                                " with the --passin pass phrase"
                          : path + " is encrypted: give its pass phrase "
                                   "with --passin env:NAME|file:PATH";
    }
    return key;
}

Key KeyLoader::loadFromToken(const std::string& uri)
{
    const std::optional<TokenUri> parsed = parseTokenUri(uri, reason);
    std::optional<std::string> pin = std::string();
    if (!parsed ||
        (!sources.pin.empty() && !(pin = readSecret(sources.pin, reason))))
    {
        return nullptr;
    }
    Key key = token.load(*parsed, *pin, reason);
    wipe(pin);
    if (!key && sources.pin.empty())
    {
        reason += " (no PIN given: --pin-source env:NAME|file:PATH)";
    }
    return key;
}

} // namespace capsule
