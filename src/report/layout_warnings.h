// What a layout warns of: functions of a GPU's IOMMU group the guest does not get,
// and switches whose ACS sends up traffic the guest's switch promises to keep inside.
#pragma once

#include "status.h"

#include <set>
#include <string>
#include <vector>

// The warnings for the GPUs `chosen`, `laidOut` every function passed through.
void warnLayout(const StatusReport& report, const std::vector<std::size_t>& chosen,
                const std::set<std::string>& laidOut, std::vector<std::string>& notes);
