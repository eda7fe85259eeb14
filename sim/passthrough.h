// Passing a host's GPUs through to a guest: the guest sees the same GPUs at
// other bus addresses and guest-physical BAR0 bases, each behind a root port
// of its own as hypervisors lay them out, while each GPU's device memory
// keeps what the host left in it.
#pragma once

#include "machine.h"
#include "topology.h"

#include <map>
#include <string>

namespace sim {

struct GuestLayout {
    Topology topology;
    std::map<std::string, std::string> guestOf;   // host bus address -> guest bus address
};

// Every GPU of the maker that answers on the host, in host bus order, at
// guest addresses 0000:01:00.0, 0000:02:00.0, ...
GuestLayout guestLayout(const Topology& host);
// The guest-physical BAR0 base of the n-th passed-through GPU.
uint64_t guestBar0(int index);

// Copies every passed-through GPU's device memory from host to guest.
void carryDeviceMemory(const Machine& host, const Machine& guest, const GuestLayout& layout);

} // namespace sim
