#include "bus/bus.hpp"

#include "bus/names.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

namespace bus
{
namespace
{

// The library step that connects to the system bus.
constexpr const char* connectStep = "sd_bus_default_system";

// Owns an sd_bus_error for the length of one step.
class ErrorHolder
{
  public:
    ErrorHolder() = default;
    ErrorHolder(const ErrorHolder&) = delete;
    ErrorHolder& operator=(const ErrorHolder&) = delete;
    ~ErrorHolder()
    {
        sd_bus_error_free(&error);
    }

    sd_bus_error error{nullptr, nullptr, 0};
};

std::string describe(const char* step, const sd_bus_error& error)
{
    std::string text = step;
    text += ": ";
    text += error.name != nullptr ? error.name : "";
    text += ": ";
    text += error.message != nullptr ? error.message : "";
    return text;
}

void check(int result, const char* step)
{
    if (result < 0)
    {
        throw BusError(step, result);
    }
}

} // namespace

BusError::BusError(const char* step, int negativeErrno) :
    errorNumber(-negativeErrno)
{
    ErrorHolder holder;
    sd_bus_error_set_errno(&holder.error, negativeErrno);
    description = describe(step, holder.error);
}

BusError::BusError(const char* step, const sd_bus_error& error) :
    description(describe(step, error)),
    errorNumber(sd_bus_error_get_errno(&error))
{}

BusError::BusError(const char* step, int negativeErrno, int connectErrno) :
    BusError(step, negativeErrno)
{
    ErrorHolder holder;
    sd_bus_error_set_errno(&holder.error, connectErrno);
    description += " (" + describe(connectStep, holder.error) + ")";
}

const char* BusError::what() const noexcept
{
    return description.c_str();
}

bool BusError::timedOut() const noexcept
{
    return errorNumber == ETIMEDOUT;
}

Connection Connection::systemDefault()
{
    sd_bus* handle = nullptr;
    // A failed acquisition leaves the handle null; the first step that uses
    // it raises the error, naming why connecting failed.
    const int result = sd_bus_default_system(&handle);
    return {handle, result < 0 ? result : 0};
}

// Appends report nothing: a broken message is refused by the call.
void Message::append(const std::string& value)
{
    (void)sd_bus_message_append_basic(get(), 's', value.c_str());
}

void Message::append(std::int32_t value)
{
    (void)sd_bus_message_append_basic(get(), 'i', &value);
}

void Message::append(const std::vector<std::string>& value)
{
    (void)sd_bus_message_open_container(get(), 'a', "s");
    for (const auto& element : value)
    {
        (void)sd_bus_message_append_basic(get(), 's', element.c_str());
    }
    (void)sd_bus_message_close_container(get());
}

void Message::appendVariant(const PropertyValue& value)
{
    if (const auto* text = std::get_if<std::string>(&value))
    {
        (void)sd_bus_message_open_container(get(), 'v', "s");
        (void)sd_bus_message_append_basic(get(), 's', text->c_str());
    }
    else
    {
        const std::uint8_t byte = std::get<std::uint8_t>(value);
        (void)sd_bus_message_open_container(get(), 'v', "y");
        (void)sd_bus_message_append_basic(get(), 'y', &byte);
    }
    (void)sd_bus_message_close_container(get());
}

bool Message::isMethodError() const noexcept
{
    return sd_bus_message_is_method_error(get(), nullptr) > 0;
}

std::string Message::readString()
{
    const char* text = nullptr;
    check(sd_bus_message_read_basic(get(), 's', &text),
          "sd_bus_message_read_basic string");
    return text != nullptr ? std::string(text) : std::string();
}

std::string Message::readVariantString()
{
    const int holdsString = sd_bus_message_verify_type(get(), 'v', "s");
    check(holdsString, "sd_bus_message_verify_type variant");
    if (holdsString == 0)
    {
        check(sd_bus_message_skip(get(), "v"), "sd_bus_message_skip variant");
        return {};
    }
    check(sd_bus_message_enter_container(get(), 'v', "s"),
          "sd_bus_message_enter_container variant");
    std::string value = readString();
    check(sd_bus_message_exit_container(get()),
          "sd_bus_message_exit_container variant");
    return value;
}

namespace
{

bool atEnd(sd_bus_message* message, const char* step)
{
    const int result = sd_bus_message_at_end(message, 0);
    check(result, step);
    return result > 0;
}

std::vector<std::string> readStringArray(Message& reply)
{
    sd_bus_message* message = reply.get();
    std::vector<std::string> values;
    check(sd_bus_message_enter_container(message, 'a', "s"),
          "sd_bus_message_enter_container emplace_back_container");
    while (!atEnd(message, "sd_bus_message_at_end emplace_back_container"))
    {
        values.push_back(reply.readString());
    }
    check(sd_bus_message_exit_container(message),
          "sd_bus_message_exit_container emplace_back_container");
    return values;
}

// Reads "a{s<value>}" into a map; the first entry of a key stays.
template <typename Value, typename ReadValue>
std::map<std::string, Value> readDictionary(Message& reply,
                                            const char* entrySignature,
                                            ReadValue readValue)
{
    sd_bus_message* message = reply.get();
    std::map<std::string, Value> values;
    const std::string arraySignature = std::string("{") + entrySignature + "}";
    check(sd_bus_message_enter_container(message, 'a', arraySignature.c_str()),
          "sd_bus_message_enter_container emplace_container");
    while (!atEnd(message, "sd_bus_message_at_end emplace_container"))
    {
        check(sd_bus_message_enter_container(message, 'e', entrySignature),
              "sd_bus_message_enter_container pair");
        std::string key = reply.readString();
        Value value = readValue(reply);
        values.emplace(std::move(key), std::move(value));
        check(sd_bus_message_exit_container(message),
              "sd_bus_message_exit_container pair");
    }
    check(sd_bus_message_exit_container(message),
          "sd_bus_message_exit_container emplace_container");
    return values;
}

} // namespace

SubTree Message::readSubTree()
{
    using Services = std::map<std::string, std::vector<std::string>>;
    return readDictionary<Services>(*this, "sa{sas}", [](Message& reply) {
        return readDictionary<std::vector<std::string>>(reply, "sas",
                                                        readStringArray);
    });
}

Message newMethodCall(const Connection& connection, const std::string& service,
                      const std::string& path, const std::string& interface,
                      const std::string& member)
{
    sd_bus_message* message = nullptr;
    constexpr const char* step = "sd_bus_message_new_method_call";
    const int result = sd_bus_message_new_method_call(
        connection.get(), &message, service.c_str(), path.c_str(),
        interface.c_str(), member.c_str());
    if (result < 0 && connection.get() == nullptr &&
        connection.connectError() != 0)
    {
        throw BusError(step, result, connection.connectError());
    }
    check(result, step);
    return Message(message);
}

Message call(const Connection& connection, Message& request,
             std::chrono::microseconds timeout)
{
    ErrorHolder holder;
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call(
        connection.get(), request.get(),
        static_cast<std::uint64_t>(std::max<std::int64_t>(timeout.count(), 0)),
        &holder.error, &reply);
    if (result < 0)
    {
        sd_bus_message_unref(reply);
        if (sd_bus_error_is_set(&holder.error) == 0)
        {
            throw BusError("sd_bus_call", result);
        }
        throw BusError("sd_bus_call", holder.error);
    }
    return Message(reply);
}

Message requestProperty(const Connection& connection,
                        const std::string& service, const std::string& path,
                        const std::string& interface,
                        const std::string& property)
{
    Message request =
        newMethodCall(connection, service, path, names::propertiesInterface,
                      names::propertyGet);
    request.append(interface);
    request.append(property);
    return call(connection, request);
}

std::string getProperty(const Connection& connection,
                        const std::string& service, const std::string& path,
                        const std::string& interface,
                        const std::string& property)
{
    Message reply =
        requestProperty(connection, service, path, interface, property);
    return reply.readVariantString();
}

Message setProperty(const Connection& connection, const std::string& service,
                    const std::string& path, const std::string& interface,
                    const std::string& property, const PropertyValue& value)
{
    Message request =
        newMethodCall(connection, service, path, names::propertiesInterface,
                      names::propertySet);
    request.append(interface);
    request.append(property);
    request.appendVariant(value);
    return call(connection, request);
}

} // namespace bus
