// The engine API is deprecated in OpenSSL 3 but is the only route to a
// PKCS#11 token that Debian 12 ships; it stays inside this file.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "builder/pkcs11_token.hpp"

#include <openssl/conf.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/ui.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <string_view>
#include <vector>

namespace capsule
{
namespace
{

constexpr std::string_view uriScheme = "pkcs11:";
constexpr std::string_view modulePathName = "module-path";
// Attributes that would put the PIN where ps, shell histories and CI logs
// see it.
constexpr std::array<std::string_view, 2> pinNames{"pin-value", "pin-source"};

constexpr const char* pinInUri =
    "the URI carries its PIN (pin-value or pin-source): give the PIN with "
    "--pin-source env:NAME|file:PATH instead";
constexpr const char* malformedUri =
    "the pkcs11: URI breaks its grammar (RFC 7512: pkcs11:name=value;...?"
    "name=value&..., values percent-encoded)";
constexpr const char* notShown = "pkcs11:... (not shown: it may carry a PIN)";
constexpr const char* noEngine =
    "cannot start OpenSSL's pkcs11 engine (package libengine-pkcs11-openssl)";
constexpr const char* pinRefused = "the pkcs11 engine refused the PIN";
constexpr const char* noKey = "no usable private key in the token";

struct EngineFree
{
    void operator()(ENGINE* engine) const noexcept
    {
        ENGINE_free(engine);
    }
};
using EnginePtr = std::unique_ptr<ENGINE, EngineFree>;

struct Attribute
{
    std::string_view name;
    std::string_view value;
};

bool isHexDigit(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

bool isNameCharacter(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-';
}

// A percent-encoded value decoded; nullopt when an escape is cut short or
// not hexadecimal.
std::optional<std::string> percentDecoded(std::string_view value)
{
    std::string text;
    for (std::size_t at = 0; at < value.size(); ++at)
    {
        if (value[at] != '%')
        {
            text += value[at];
            continue;
        }
        if (value.size() - at < 3 || !isHexDigit(value[at + 1]) ||
            !isHexDigit(value[at + 2]))
        {
            return std::nullopt;
        }
        constexpr int hexBase = 16;
        text += static_cast<char>(
            std::stoi(std::string(value.substr(at + 1, 2)), nullptr, hexBase));
        at += 2;
    }
    return text;
}

// The "name=value" items of one part of the URI; nullopt when an item has
// no name, a name outside the grammar's characters, or a bad escape.
std::optional<std::vector<Attribute>> attributes(std::string_view part,
                                                 char separator)
{
    std::vector<Attribute> items;
    if (part.empty())
    {
        return items;
    }
    std::size_t start = 0;
    while (start <= part.size())
    {
        const std::size_t end =
            std::min(part.find(separator, start), part.size());
        const std::string_view item = part.substr(start, end - start);
        const std::size_t equals = item.find('=');
        if (equals == 0 || equals == std::string_view::npos ||
            !std::all_of(item.begin(), item.begin() + equals,
                         isNameCharacter) ||
            !percentDecoded(item.substr(equals + 1)))
        {
            return std::nullopt;
        }
        items.push_back({item.substr(0, equals), item.substr(equals + 1)});
        start = end + 1;
    }
    return items;
}

bool namesPin(const Attribute& attribute)
{
    std::string name(attribute.name);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return std::find(pinNames.begin(), pinNames.end(), name) != pinNames.end();
}

// The cause the token or the engine gave, innermost first: the error the
// module reported ("PIN incorrect") rather than the engine's summary.
// Empties OpenSSL's error queue.
std::string tokenCause()
{
    std::string cause;
    while (const unsigned long code = ERR_get_error())
    {
        const char* reason = ERR_reason_error_string(code);
        if (cause.empty() && reason != nullptr)
        {
            cause = std::string(": ") + reason;
        }
    }
    return cause;
}

} // namespace

// The pkcs11 engine, initialised once for every key this object loads.
struct TokenKeys::Engine
{
    EnginePtr handle;
    bool initialised = false;

    // The engine's functional reference, then its structural one. An
    // OpenSSL configuration that loaded the engine holds one more; its
    // modules are unloaded here too, so that the token's module is
    // finalised now: at exit, OpenSSL's clean-up would reach the module
    // after the module's own exit-time destructors (SoftHSM2's) have torn
    // it down, and crash there.
    ~Engine()
    {
        if (initialised)
        {
            ENGINE_finish(handle.get());
        }
        handle.reset();
        CONF_modules_unload(1);
    }
    Engine() = default;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    Engine(Engine&&) = delete;
    Engine& operator=(Engine&&) = delete;
};

bool isTokenUri(const std::string& name)
{
    return name.rfind(uriScheme, 0) == 0;
}

std::optional<TokenUri> parseTokenUri(const std::string& uri,
                                      std::string& error)
{
    const std::string_view rest =
        std::string_view(uri).substr(std::min(uriScheme.size(), uri.size()));
    const std::size_t queryStart = std::min(rest.find('?'), rest.size());
    const auto path = attributes(rest.substr(0, queryStart), ';');
    const auto query =
        attributes(rest.substr(std::min(queryStart + 1, rest.size())), '&');
    if (!isTokenUri(uri) || !path || !query)
    {
        error = malformedUri;
        return std::nullopt;
    }
    TokenUri parsed{
        std::string(uriScheme) + std::string(rest.substr(0, queryStart)), {}};
    for (const auto* part : {&*path, &*query})
    {
        if (std::any_of(part->begin(), part->end(), namesPin))
        {
            error = pinInUri;
            return std::nullopt;
        }
    }
    for (const Attribute& attribute : *query)
    {
        if (attribute.name == modulePathName)
        {
            parsed.modulePath = *percentDecoded(attribute.value);
        }
    }
    return parsed;
}

std::string keyNameForMessages(const std::string& name)
{
    std::string error;
    return !isTokenUri(name) || parseTokenUri(name, error) ? name : notShown;
}

TokenKeys::TokenKeys() = default;
TokenKeys::~TokenKeys() = default;

Key TokenKeys::load(const TokenUri& uri, const std::string& pin,
                    std::string& error)
{
    ERR_clear_error();
    if (!engine)
    {
        auto made = std::make_unique<Engine>();
        // Found among the engines the OpenSSL configuration loaded, or
        // loaded from OpenSSL's engines directory. QUIET: the engine's own
        // lines on standard error would repeat, less precisely, the one
        // line the caller prints (an engine without it talks on).
        made->handle.reset(ENGINE_by_id("pkcs11"));
        if (!made->handle ||
            ENGINE_ctrl_cmd_string(made->handle.get(), "QUIET", nullptr, 1) !=
                1 ||
            (!uri.modulePath.empty() &&
             ENGINE_ctrl_cmd_string(made->handle.get(), "MODULE_PATH",
                                    uri.modulePath.c_str(), 0) != 1) ||
            ENGINE_init(made->handle.get()) != 1)
        {
            error = noEngine + tokenCause();
            return nullptr;
        }
        made->initialised = true;
        engine = std::move(made);
    }
    if (!pin.empty() && ENGINE_ctrl_cmd_string(engine->handle.get(), "PIN",
                                               pin.c_str(), 0) != 1)
    {
        error = pinRefused + tokenCause();
        return nullptr;
    }
    // UI_null: a missing or wrong PIN fails instead of prompting. The
    // engine API takes the method as non-const but does not change it.
    Key key(ENGINE_load_private_key(engine->handle.get(), uri.object.c_str(),
                                    const_cast<UI_METHOD*>(UI_null()),
                                    nullptr));
    if (!key)
    {
        error = noKey + tokenCause();
    }
    return key;
}

} // namespace capsule
