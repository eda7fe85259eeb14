// qvgpu-vm-p2p-status: its options and exit status, and the report it
// prints, as text for a person or as one JSON document for a program.
#pragma once

#include "status.h"

#include <string>

// Exit statuses: everything ready, something stops peer-to-peer, cannot run.
constexpr int STATUS_READY = 0;
constexpr int STATUS_NOT_READY = 1;
constexpr int STATUS_CANNOT_RUN = 2;

std::string renderText(const StatusReport& report, bool colour);
std::string renderJson(const StatusReport& report);
// A JSON string literal, quotes included.
std::string jsonString(const std::string& text);

// Runs the whole program; the result is the exit status.
int statusMain(int argc, char** argv);
