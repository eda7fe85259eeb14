// A guest laid out like its host, so peer-to-peer software finds the host's paths.
#pragma once

#include "layout_domain.h"
#include "layout_plan.h"

#include <string>

// The plan rendered, and merged into `domain` when given (already constrained).
Layout layOut(const StatusReport& report, const LayoutOptions& options,
              const Domain* domain = nullptr);
