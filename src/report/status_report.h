// qvgpu-vm-p2p-status: its options, what it prints, and its exit status.
#pragma once

// Exit statuses: everything ready, something stops peer-to-peer, cannot run.
constexpr int STATUS_READY = 0;
constexpr int STATUS_NOT_READY = 1;
constexpr int STATUS_CANNOT_RUN = 2;

// Runs the whole program; the result is the exit status.
int statusMain(int argc, char** argv);
