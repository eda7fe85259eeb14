// The status report as Prometheus metrics, for a monitoring system.
#pragma once

#include "status.h"

#include <string>

// The facts and the verdict in the text exposition format 0.0.4.
std::string renderMetrics(const StatusReport& report);
