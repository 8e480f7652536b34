// The engine API is deprecated in OpenSSL 3 but is the only route to a
// PKCS#11 token that Debian 12 ships; it stays inside this file.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "builder/pkcs11_token.hpp"

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/ui.h>

#include <algorithm>
#include <memory>
#include <string_view>

namespace capsule
{
namespace
{

constexpr std::string_view uriScheme = "pkcs11:";
constexpr std::string_view modulePathAttribute = "module-path=";
constexpr std::string_view pinValueAttribute = "pin-value=";

struct EngineFree
{
    void operator()(ENGINE* engine) const noexcept
    {
        ENGINE_free(engine);
    }
};
using EnginePtr = std::unique_ptr<ENGINE, EngineFree>;

// The value of a query attribute ("name=value", separated by '&').
std::string queryAttribute(std::string_view query, std::string_view name)
{
    std::size_t start = 0;
    while (start <= query.size())
    {
        const std::size_t end = std::min(query.find('&', start), query.size());
        const std::string_view item = query.substr(start, end - start);
        if (item.substr(0, name.size()) == name)
        {
            return std::string(item.substr(name.size()));
        }
        start = end + 1;
    }
    return {};
}

std::string lastOpenSslError()
{
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    return reason != nullptr ? std::string(": ") + reason : std::string();
}

} // namespace

// The pkcs11 engine, initialised once for every key this object loads.
struct TokenKeys::Engine
{
    EnginePtr handle;
    bool initialised = false;

    ~Engine()
    {
        if (initialised)
        {
            ENGINE_finish(handle.get());
        }
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

TokenKeys::TokenKeys() = default;
TokenKeys::~TokenKeys() = default;

Key TokenKeys::load(const std::string& uri, const std::string& pin,
                    std::string& error)
{
    const std::size_t queryStart = std::min(uri.find('?'), uri.size());
    const std::string_view query =
        std::string_view(uri).substr(std::min(queryStart + 1, uri.size()));
    if (query.find(pinValueAttribute) != std::string_view::npos)
    {
        error = "the URI carries its PIN (pin-value): give it with "
                "--pin-source instead";
        return nullptr;
    }
    if (!engine)
    {
        auto made = std::make_unique<Engine>();
        // Found among the engines the OpenSSL configuration loaded, or
        // loaded from OpenSSL's engines directory.
        made->handle.reset(ENGINE_by_id("pkcs11"));
        const std::string module = queryAttribute(query, modulePathAttribute);
        if (!made->handle ||
            (!module.empty() &&
             ENGINE_ctrl_cmd_string(made->handle.get(), "MODULE_PATH",
                                    module.c_str(), 0) != 1) ||
            ENGINE_init(made->handle.get()) != 1)
        {
            error = "cannot start OpenSSL's pkcs11 engine (package "
                    "libengine-pkcs11-openssl)" +
                    lastOpenSslError();
            return nullptr;
        }
        made->initialised = true;
        engine = std::move(made);
    }
    if (!pin.empty() && ENGINE_ctrl_cmd_string(engine->handle.get(), "PIN",
                                               pin.c_str(), 0) != 1)
    {
        error = "the pkcs11 engine refused the PIN" + lastOpenSslError();
        return nullptr;
    }
    // UI_null: a missing or wrong PIN fails instead of prompting. The
    // engine API takes the method as non-const but does not change it.
    Key key(ENGINE_load_private_key(
        engine->handle.get(), uri.substr(0, queryStart).c_str(),
        const_cast<UI_METHOD*>(UI_null()), nullptr));
    if (!key)
    {
        error = "no usable private key in the token" + lastOpenSslError();
    }
    return key;
}

} // namespace capsule
