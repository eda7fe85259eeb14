// What a layout warns of before it is used: functions of a chosen GPU's
// IOMMU group that the guest does not get, and switches whose ACS sends
// the peer traffic the guest's switch promises to keep inside it up to
// the host's root complex.  Nothing here reads a file.
#pragma once

#include "status.h"

#include <set>
#include <string>
#include <vector>

// Appends the warnings for the GPUs `chosen` (indexes into the report's
// GPUs), with `laidOut` every host function the layout passes through.
void warnLayout(const StatusReport& report, const std::vector<std::size_t>& chosen,
                const std::set<std::string>& laidOut, std::vector<std::string>& notes);
