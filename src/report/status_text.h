// The status report as text, for a person.
#pragma once

#include "status.h"

#include <string>

struct TextOptions {
    bool colour = false;       // the verdict in colour
    bool fullMatrix = false;   // every pair, however many GPUs
};

std::string renderText(const StatusReport& report, const TextOptions& options);
