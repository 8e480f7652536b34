// The bus-reply readers over messages of any shape: the input is decoded
// into typed appends (bus_reply_ops.hpp: values of every basic type,
// containers of the reply's signatures and others, nested at will), the
// message is sealed and read as the object mapper's GetSubTree answer, as a
// property value, or as a string. A reader returns or raises BusError;
// anything else is a finding.

#include "bus/bus.hpp"
#include "bus_reply_ops.hpp"
#include "handles/fd.hpp"

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace
{

namespace ops = fuzz::bus_reply;

// Messages can only be made on a started bus; this one's peer is a socket
// that nobody reads. It lives for the whole run.
sd_bus* detachedBus()
{
    static UniqueFd peer;
    static const std::unique_ptr<sd_bus, bus::BusUnref> handle = [] {
        std::array<int, 2> fds{};
        sd_bus* opened = nullptr;
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()) !=
                0 ||
            sd_bus_new(&opened) < 0 ||
            sd_bus_set_fd(opened, fds[0], fds[0]) < 0 ||
            sd_bus_start(opened) < 0)
        {
            std::abort();
        }
        peer.reset(fds[1]);
        return std::unique_ptr<sd_bus, bus::BusUnref>(opened);
    }();
    return handle.get();
}

// Reads the input step by step.
class Steps
{
  public:
    Steps(const std::uint8_t* data, std::size_t size) : data(data), size(size)
    {}

    bool next(std::uint8_t& byte)
    {
        if (at == size)
        {
            return false;
        }
        byte = data[at++];
        return true;
    }

    // Up to `count` bytes; fewer at the end of the input.
    std::string take(std::size_t count)
    {
        count = std::min(count, size - at);
        std::string bytes(reinterpret_cast<const char*>(data) + at, count);
        at += count;
        return bytes;
    }

  private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
};

void appendBasic(sd_bus_message* message, Steps& steps)
{
    std::uint8_t index = 0;
    if (!steps.next(index))
    {
        return;
    }
    const char type = ops::basicTypes.at(index % ops::basicTypes.size());
    std::uint8_t length = 0;
    const bool text = type == 's' || type == 'o' || type == 'g';
    std::string bytes = text && steps.next(length) ? steps.take(length)
                                                   : steps.take(sizeof(double));
    bytes.resize(std::max(bytes.size(), sizeof(double)));
    // Failed appends are part of the game: the message then does not seal.
    static_cast<void>(sd_bus_message_append_basic(
        message, type,
        text ? static_cast<const void*>(bytes.c_str()) : bytes.data()));
}

// Appends what the steps say; false when the message is not built.
bool build(sd_bus_message* message, Steps& steps)
{
    int depth = 0;
    std::uint8_t op = 0;
    std::uint8_t index = 0;
    while (steps.next(op))
    {
        if (op == ops::appendBasic)
        {
            appendBasic(message, steps);
        }
        else if (op == ops::open && steps.next(index))
        {
            const ops::Container& c =
                ops::containers.at(index % ops::containers.size());
            depth +=
                sd_bus_message_open_container(message, c.type, c.contents) >= 0;
        }
        else if (op == ops::close && depth > 0)
        {
            depth -= sd_bus_message_close_container(message) >= 0;
        }
        else
        {
            break;
        }
    }
    for (; depth > 0; --depth)
    {
        if (sd_bus_message_close_container(message) < 0)
        {
            return false;
        }
    }
    return sd_bus_message_seal(message, 1, 0) >= 0 &&
           sd_bus_message_rewind(message, 1) >= 0;
}

void read(bus::Message& message, std::uint8_t reader)
{
    try
    {
        switch (reader % ops::readerCount)
        {
            case ops::subTree:
                static_cast<void>(message.readSubTree());
                break;
            case ops::variantString:
                static_cast<void>(message.readVariantString());
                break;
            default:
                static_cast<void>(message.readString());
                break;
        }
    }
    catch (const bus::BusError&)
    {
        // A reply of the wrong shape: what the callers report.
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    Steps steps(data, size);
    std::uint8_t reader = 0;
    sd_bus_message* built = nullptr;
    if (!steps.next(reader) ||
        sd_bus_message_new(detachedBus(), &built,
                           SD_BUS_MESSAGE_METHOD_RETURN) < 0)
    {
        return 0;
    }
    bus::Message message(built);
    if (build(message.get(), steps))
    {
        read(message, reader);
    }
    return 0;
}
