// The devices that ACS disabling walks: every device from a root bus down
// to each GPU, the GPUs included.  Of these it writes the switch downstream
// ports (PORT_DOWNSTREAM), the ports whose ACS can send peer traffic up to
// the root complex.  One list, for every program that must name the same
// ports as the walk.
#pragma once

#include <set>
#include <string>
#include <vector>

// Each device once, in bus-address order.  A GPU whose PCI path cannot be
// found adds nothing, and is named in `pathless`.
std::set<std::string> acsWalk(const std::set<std::string>& gpus, std::vector<std::string>& pathless);
