#include "update/update_events.hpp"

#include "noterra/event_log.hpp"

#include <systemd/sd-journal.h>

namespace update
{
namespace
{

constexpr unsigned char updateStartSeverity = 1;
constexpr const char* updateStartEvent = "BIOS.UPDSTART.1";
constexpr const char* updateStartMessageId = "RED069";
constexpr const char* updateComponent = "BIOS";

// The journal entry gives the source location that the calling services
// expect (the main source file's, whatever statement sends it).
constexpr const char* failedEntryFile = "CODE_FILE=src/morvex_bios_updater.cpp";
constexpr const char* failedEntryLine = "CODE_LINE=313";
constexpr const char* failedEntryFunction = "startUpdate";
constexpr const char* failedEntryMessage = "FW Update Failed";
constexpr int failedEntryPriority = 3;
constexpr const char* failedEntryRedfishId = "Morvex.0.1.FirmwareUpdateFailed";
constexpr const char* failedEntryReason =
    "Error: Unable to verify Varnel Manifest and Signature";

} // namespace

void writeUpdateStartEvent()
{
    // The library's result carries nothing the updater uses; only its
    // exceptions tell of a failure.
    static_cast<void>(addEventLog(updateStartSeverity, updateStartEvent,
                                  updateStartMessageId, {updateComponent}));
}

void sendUpdateFailedEntry(const std::string& imageVersion)
{
    const std::string component = updateComponent;
    const std::string reason = failedEntryReason;
    // A journal that refuses the entry is deliberately not noticed: the
    // failed verification is reported on standard error all the same.
    static_cast<void>(sd_journal_send_with_location(
        failedEntryFile, failedEntryLine, failedEntryFunction, "MESSAGE=%s",
        failedEntryMessage, "PRIORITY=%i", failedEntryPriority,
        "REDFISH_MESSAGE_ID=%s", failedEntryRedfishId,
        "REDFISH_MESSAGE_ARGS=%s,%s,%s", component.c_str(),
        imageVersion.c_str(), reason.c_str(), nullptr));
}

} // namespace update
