// Event-log library: each event becomes one structured entry in the systemd
// journal, with a readable message expanded from the message registry below.
// The fields written are described in docs/event-log.md.

#include "noterra/event_log.hpp"

#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace
{

constexpr const char* journalSocket = "/run/systemd/journal/socket";

// syslog priorities used for the PRIORITY field.
constexpr int priorityError = 3;
constexpr int priorityNotice = 5;
constexpr int priorityInfo = 6;

struct MessageTemplate
{
    std::string_view id;
    int priority;
    // "%1" to "%9" stand for the event's arguments, counted from 1.
    std::string_view text;
};

constexpr std::array messageRegistry{
    MessageTemplate{"RED069", priorityInfo, "The %1 firmware update started."},
    MessageTemplate{"RED025", priorityInfo,
                    "The %1 job completed successfully (version %2)."},
    MessageTemplate{"RED150", priorityError, "The %1 job failed (version %2)."},
};

const MessageTemplate* findTemplate(const std::string& messageId)
{
    for (const auto& entry : messageRegistry)
    {
        if (entry.id == messageId)
        {
            return &entry;
        }
    }
    return nullptr;
}

// Replaces each "%N" by argument N (empty when there is none); substituted
// text is not expanded again.
std::string expandTemplate(std::string_view text,
                           const std::vector<std::string>& args)
{
    std::string message;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        const bool placeholder = text[i] == '%' && i + 1 < text.size() &&
                                 text[i + 1] >= '1' && text[i + 1] <= '9';
        if (!placeholder)
        {
            message += text[i];
            continue;
        }
        const auto index = static_cast<std::size_t>(text[i + 1] - '1');
        if (index < args.size())
        {
            message += args[index];
        }
        ++i;
    }
    return message;
}

// An id missing from the registry still gives a readable line.
std::string describeUnknown(const std::string& eventName,
                            const std::vector<std::string>& args)
{
    std::string message = "Event " + eventName;
    const char* separator = ": ";
    for (const auto& arg : args)
    {
        message += separator;
        message += arg;
        separator = ", ";
    }
    return message;
}

// sd-journal drops entries silently when no journal listens; an event log
// that is lost must be reported instead.
void requireJournal()
{
    struct stat status
    {};
    if (stat(journalSocket, &status) != 0)
    {
        throw std::system_error(errno, std::generic_category(),
                                std::string("journal socket ") + journalSocket);
    }
    if (!S_ISSOCK(status.st_mode))
    {
        throw std::runtime_error(std::string("journal socket ") +
                                 journalSocket + " is not a socket");
    }
}

std::vector<std::string> buildFields(unsigned char severity,
                                     const std::string& eventName,
                                     const std::string& messageId,
                                     const std::vector<std::string>& args)
{
    const MessageTemplate* entry = findTemplate(messageId);
    std::vector<std::string> fields;
    fields.reserve(args.size() + 8);
    fields.push_back("MESSAGE=" + (entry != nullptr
                                       ? expandTemplate(entry->text, args)
                                       : describeUnknown(eventName, args)));
    fields.push_back("PRIORITY=" + std::to_string(entry != nullptr
                                                      ? entry->priority
                                                      : priorityNotice));
    fields.push_back("SYSLOG_IDENTIFIER=" +
                     std::string(program_invocation_short_name));
    fields.push_back("NOTERRA_EVENT=" + eventName);
    fields.push_back("NOTERRA_MESSAGE_ID=" + messageId);
    fields.push_back("NOTERRA_SEVERITY=" + std::to_string(severity));
    fields.push_back("NOTERRA_ARG_COUNT=" + std::to_string(args.size()));
    for (std::size_t i = 0; i < args.size(); ++i)
    {
        fields.push_back("NOTERRA_ARG" + std::to_string(i + 1) + "=" + args[i]);
    }
    return fields;
}

void sendFields(const std::vector<std::string>& fields)
{
    std::vector<iovec> vectors;
    vectors.reserve(fields.size());
    for (const auto& field : fields)
    {
        // sd-journal only reads through these pointers.
        vectors.push_back(iovec{const_cast<char*>(field.data()), field.size()});
    }
    const int result =
        sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size()));
    if (result < 0)
    {
        throw std::system_error(-result, std::generic_category(),
                                "sd_journal_sendv");
    }
}

} // namespace

int addEventLog(const unsigned char& severity, const std::string& eventName,
                const std::string& messageId,
                const std::vector<std::string>& args)
{
    requireJournal();
    sendFields(buildFields(severity, eventName, messageId, args));
    return 0;
}
