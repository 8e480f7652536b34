#pragma once

// Thin RAII layer over sd-bus for synchronous method calls on the system bus.
//
// Every failing library step raises BusError, whose description is
// "<step>: <error name>: <error message>"; nothing in this layer catches.
// Handles and messages are released on every way out.

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace bus
{

// The one exception type of the bus layer.
class BusError : public std::exception
{
  public:
    // A library step that failed with a negative errno value.
    BusError(const char* step, int negativeErrno);
    // A library step that failed and filled in a bus error.
    BusError(const char* step, const sd_bus_error& error);
    // A library step that failed for want of a connection, and the
    // negative errno value with which connecting had failed:
    // "<step>: <name>: <message> (sd_bus_default_system: <name>: <message>)".
    BusError(const char* step, int negativeErrno, int connectErrno);

    const char* what() const noexcept override;

    // True when the step gave up waiting for the peer's answer.
    [[nodiscard]] bool timedOut() const noexcept;

  private:
    std::string description;
    int errorNumber = 0;
};

struct BusUnref
{
    void operator()(sd_bus* bus) const noexcept
    {
        sd_bus_flush_close_unref(bus);
    }
};

// A reference on the process's default system-bus connection.
class Connection
{
  public:
    // Acquires the default system bus. The outcome is not checked here: when
    // no connection could be made, the next step raises the bus error.
    [[nodiscard]] static Connection systemDefault();

    sd_bus* get() const noexcept
    {
        return handle.get();
    }

    // The negative errno value with which connecting failed; 0 when it
    // did not.
    int connectError() const noexcept
    {
        return connectResult;
    }

  private:
    Connection(sd_bus* handle, int connectResult) noexcept :
        handle(handle), connectResult(connectResult)
    {}
    std::unique_ptr<sd_bus, BusUnref> handle;
    int connectResult = 0;
};

// Value carried by a property write: a string, or one unsigned byte.
using PropertyValue = std::variant<std::string, std::uint8_t>;

// Object path -> service name -> interfaces, keys in byte-wise order.
using SubTree =
    std::map<std::string, std::map<std::string, std::vector<std::string>>>;

struct MessageUnref
{
    void operator()(sd_bus_message* message) const noexcept
    {
        sd_bus_message_unref(message);
    }
};

// One reference on an sd-bus message.
class Message
{
  public:
    explicit Message(sd_bus_message* adopted) noexcept : message(adopted)
    {}

    sd_bus_message* get() const noexcept
    {
        return message.get();
    }

    void append(const std::string& value);
    void append(std::int32_t value);
    void append(const std::vector<std::string>& value);
    void appendVariant(const PropertyValue& value);

    // True when the message is a method error reply, whatever its name.
    [[nodiscard]] bool isMethodError() const noexcept;

    [[nodiscard]] std::string readString();
    // A variant holding a string; a variant of any other type is skipped
    // and reads as "".
    [[nodiscard]] std::string readVariantString();
    // An "a{sa{sas}}" value; a key met twice keeps its first entry.
    [[nodiscard]] SubTree readSubTree();

  private:
    std::unique_ptr<sd_bus_message, MessageUnref> message;
};

[[nodiscard]] Message newMethodCall(const Connection& connection,
                                    const std::string& service,
                                    const std::string& path,
                                    const std::string& interface,
                                    const std::string& member);

// Synchronous call that waits at most timeout for the answer; zero, the
// default, waits the library's default method-call timeout. The connection's
// own settings are left as they are.
[[nodiscard]] Message call(const Connection& connection, Message& request,
                           std::chrono::microseconds timeout = {});

// Sends Properties.Get and returns the reply, unread and unchecked.
[[nodiscard]] Message requestProperty(const Connection& connection,
                                      const std::string& service,
                                      const std::string& path,
                                      const std::string& interface,
                                      const std::string& property);

// Properties.Get, the value read as a string (see readVariantString).
[[nodiscard]] std::string getProperty(const Connection& connection,
                                      const std::string& service,
                                      const std::string& path,
                                      const std::string& interface,
                                      const std::string& property);

// Properties.Set; returns the reply for the caller's error-reply check.
[[nodiscard]] Message setProperty(const Connection& connection,
                                  const std::string& service,
                                  const std::string& path,
                                  const std::string& interface,
                                  const std::string& property,
                                  const PropertyValue& value);

} // namespace bus
