// What the report's whole-process tests share: running it, reading its
// text, and the machines they run it on.
#pragma once

#include "helpers.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace qvtest {

sim::RunResult status(const sim::Machine& m, std::vector<std::string> args = {});

// The report from its "Verdict:" line to the end.
std::string verdictOf(const std::string& out);

// Runs of blanks made single.
std::string squeezed(const std::string& line);

// The report's line for one GPU in its GPU table, from the bus address on,
// then its line in the device memory table from the BAR0 base on, with the
// runs of blanks between columns made single.
std::string gpuLine(const std::string& out, const std::string& bus);

// Two switches of two GPUs each; the downstream ports redirect (ACS Control
// 0x005f, as firmware leaves it).
sim::Topology twoSwitches();

// Runs the report under strace and checks what it asked of the kernel: it
// started nothing (strace's own execve of the program is the only call that
// makes a process), opened nothing for writing, and mapped device memory
// and registers for reading only.  The number of those mappings.
int tracedStatus(const sim::Machine& m, sim::RunResult& r);

// Two GPUs under one switch, one more under a switch below it, one under a
// second host bridge of the same NUMA node, one under a host bridge of
// another node.
sim::Topology everyLink();

// Cuts a device's configuration space to `size` bytes, as a kernel does
// for a reader it will not show more (or a device gone half away).
void truncateConfig(const sim::Machine& m, const std::string& bdf, off_t size);

// A switch nested in another, and root ports in a domain of their own
// behind a VMD controller.
sim::Topology nestedAndVmd();

// The verdict as the JSON gives it, with no word of its text: the exit
// status, then each fix on a line, its problems by kind with the bus
// addresses each names (and the reason given with one), the command and
// where to run it:
// "store_missing 0000:01:00.0 | store_disagrees 0000:02:00.0 => qvgpu-vm-p2p --save-data".
std::string fixesOf(const sim::Machine& m);

} // namespace qvtest
