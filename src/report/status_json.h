// The status report as one JSON document, for a program.
#pragma once

#include "status.h"

#include <string>

std::string renderJson(const StatusReport& report);
