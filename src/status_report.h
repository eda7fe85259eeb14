// qvgpu-vm-p2p-status: its options and exit status, and the report it
// prints, as text for a person, as one JSON document for a program, or as
// Prometheus metrics for a monitoring system.
#pragma once

#include "status.h"

#include <string>

// Exit statuses: everything ready, something stops peer-to-peer, cannot run.
constexpr int STATUS_READY = 0;
constexpr int STATUS_NOT_READY = 1;
constexpr int STATUS_CANNOT_RUN = 2;

struct TextOptions {
    bool colour = false;       // the verdict in colour
    bool fullMatrix = false;   // every pair, however many GPUs
};

std::string renderText(const StatusReport& report, const TextOptions& options);
std::string renderJson(const StatusReport& report);
// The facts and the verdict as Prometheus metrics, text format 0.0.4.
std::string renderMetrics(const StatusReport& report);
// Bytes below 0x20 and from 0x7f up as "\xNN", so that no text from sysfs
// can move a terminal's cursor or break a line.
std::string printable(const std::string& text);
// "0x38bff0000000": a base address as both renderings show it.
std::string hex(uint64_t value);

// Runs the whole program; the result is the exit status.
int statusMain(int argc, char** argv);
