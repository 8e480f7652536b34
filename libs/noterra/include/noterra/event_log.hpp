#pragma once

// Interface of the platform's event-log library (libnoterra.so.9).

#include <string>
#include <vector>

// Writes one event log entry. Throws a std::exception when the entry cannot
// be stored. The result carries nothing the updater uses.
int addEventLog(const unsigned char& severity, const std::string& eventName,
                const std::string& messageId,
                const std::vector<std::string>& args);
