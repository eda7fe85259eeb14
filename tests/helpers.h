// What the machine tests share: the tool's texts as a user sees them, and
// checks of the bytes the real setpci leaves in configuration spaces.
#pragma once

#include "machine.h"

#include <gtest/gtest.h>
#include <string>

namespace qvtest {

// The help text as the option parser renders it for this binary.
std::string helpText();

extern const char* const NOT_ROOT;          // "Requires root privileges.\n"
extern const char* const ACS_IN_GUEST;      // the --disable-acs warning line

std::string offlineLine(const std::string& bdf);

// The command register and power state a device was left in.
uint16_t commandOf(const sim::Machine& machine, const std::string& bdf);
unsigned powerStateOf(const sim::Machine& machine, const std::string& bdf);

// True when discovery woke the device: COMMAND 0x0006 and power state D0.
::testing::AssertionResult woken(const sim::Machine& machine, const std::string& bdf);
// True when the configuration space holds what the machine was built with.
::testing::AssertionResult untouched(const sim::Machine& machine, const std::string& bdf);

constexpr int UID_NOBODY = 65534;

} // namespace qvtest
