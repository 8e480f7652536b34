#pragma once

// What an update leaves in the BMC's logs: the update-start event log once
// the image is staged, and the update-failed journal entry when the image
// does not verify.

#include <string>

namespace update
{

// "BIOS.UPDSTART.1" through the event-log library. Throws what the library
// throws.
void writeUpdateStartEvent();

// The update-failed entry in the systemd journal, naming the image version
// exactly as read. Building its texts may throw std::bad_alloc; a journal
// that refuses the entry is not noticed.
void sendUpdateFailedEntry(const std::string& imageVersion);

} // namespace update
