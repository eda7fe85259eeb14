// Whether peer-to-peer will work, and what to fix first, from the facts alone.
#pragma once

#include "status.h"

Verdict judge(const StatusReport& report);
