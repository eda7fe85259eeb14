// The verdict on whether peer-to-peer will work, with what to fix first,
// decided from the report's facts alone, never from the words that show
// them.
#pragma once

#include "status.h"

Verdict judge(const StatusReport& report);
