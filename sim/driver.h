// A stand-in for the GPU kernel driver "morvanti" in a simulated guest.  It
// offers what the tool relies on from the real driver, and nothing more:
//   - /sys/bus/pci/drivers/morvanti exists exactly while it is loaded;
//   - each GPU it takes up is linked to it ("driver") and has a "minor"
//     attribute (distinct numbers from 0 in bus order);
//   - each GPU's "itr_debug" takes one command per write(2), as a sysfs
//     attribute's store() does (a one-file FUSE filesystem stands in its
//     place, so every write arrives on its own); a write that is not exactly
//     one "pt_p2p_cfg <minor> <hex>" line, as the rig's stand-in module's
//     own parser (rig/module/morvanti_cmd.h) takes it, is refused with
//     EINVAL, and the
//     GPU's driver instance keeps the table of (minor -> host address) it
//     has been told;
//   - loading creates /dev/morvanti0 .. morvanti<N-1> in that order (the
//     attributes before them, or later when asked), unloading removes them;
//   - a GPU added while it is loaded is probed at once (the lowest free
//     minor, its attributes, then its node); one taken away is removed;
//   - its sysfs "bind" and "unbind" take a bus address per write, as the
//     kernel's driver core does: the GPU is probed, or removed.
#pragma once

#include "machine.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class Driver {
public:
    explicit Driver(const Machine& guest);
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // With `attributesLater`, the driver creates its nodes but no GPU's
    // "minor" and "itr_debug" yet, as one still taking the GPUs up does;
    // createAttributes() then completes the load.
    void load(bool attributesLater = false);
    void createAttributes();
    void unload();
    bool loaded() const { return loaded_; }

    // The text the driver shows in a GPU's "minor" attribute from the next
    // load on (nullopt: no attribute at all).
    void setMinorText(const std::string& bdf, std::optional<std::string> text);
    // A driver that files a command for the minor "x" (the tool's text for a
    // minor it could not read) under "x", instead of refusing it.
    void acceptUnknownMinor() { acceptUnknownMinor_ = true; }

    // GPUs the driver takes up, in bus order.
    const std::vector<std::string>& gpus() const { return gpus_; }
    // Every write a GPU's attribute has received, in order, one entry each
    // (refused ones too), and what its driver instance knows now (forgotten
    // when the driver is unloaded).
    std::vector<std::string> received(const std::string& bdf) const;
    std::map<std::string, uint64_t> table(const std::string& bdf) const;
    std::size_t totalReceived() const;
    // Every command line of every GPU in the order they arrived: "bdf: line".
    std::vector<std::string> log() const;
    // Waits until every byte written so far has been taken in.  A write
    // returns to its writer only once it was taken in, so nothing is ever
    // in flight once the writer has gone on.
    void settle() const;
    // Takes one GPU's "itr_debug" away while the driver is loaded.
    void removeAttribute(const std::string& bdf);
    // Lets one GPU go while the driver stays loaded, as an unbind does: its
    // attributes and its link to the driver go; its node stays.
    void unbind(const std::string& bdf);
    // Lets one GPU go and takes it up again, as an unbind and a bind do:
    // its node goes and comes back, and its new instance knows no peer.
    void bindAgain(const std::string& bdf);
    // A GPU taken away from the guest (Machine::unplug), the driver's
    // removal first; and added again (Machine::plug), with `record` in its
    // device memory, then probed when the driver is loaded.
    void unplug(const std::string& bdf);
    void plug(const std::string& bdf, const std::vector<uint8_t>& record = {});
    // Every write to the driver's "bind" and "unbind", in order:
    // "unbind 0000:02:00.0".
    std::vector<std::string> coreWrites() const;
    // The GPU's device node ("/dev/morvanti3"), "" while it has none.
    std::string node(const std::string& bdf) const;
    // Shows every GPU's attribute a second time, over the first, as another
    // sysfs mount does (systemd's own for a unit with PrivateNetwork=):
    // another device number, the same inode number, the same instance.
    void showAgain();

private:
    struct Instance {
        std::string bdf;
        std::optional<std::string> minorText;
        std::string attribute;   // path of its "itr_debug"
        int fuse = -1;           // the FUSE connection serving it
        int view = -1;           // the second view's, once shown again
        uint64_t ino = 0;        // its attribute's inode number, new at each probe
        bool mounted = false;    // the attribute is there
        int minor = -1;          // its node's number, while the driver has it
        bool present = true;     // in the guest (not unplugged)
        bool minorOverridden = false;
        std::string core;        // "bind" or "unbind": one of the driver's own files
        std::vector<std::string> received;
        std::map<std::string, uint64_t> table;
    };
    void serve();
    // Answers one request of an attribute's FUSE connection.
    void answer(Instance& instance, int fuse, const uint8_t* request, std::size_t length);
    // One write of the tool; the errno to refuse it with, or 0.
    int store(Instance& instance, const char* bytes, std::size_t n);
    void detach(Instance& instance);
    void attach(Instance& instance);
    // The driver core's probe and removal of one GPU (the lock held).
    void probe(Instance& instance);
    void remove(Instance& instance);
    void coreStore(const std::string& file, const std::string& bdf);

    const Machine& guest_;
    std::vector<std::string> gpus_;
    std::vector<Instance> instances_;
    std::vector<Instance> core_;   // "bind" and "unbind"
    std::vector<std::string> coreWrites_;
    bool rewatch_ = false;         // the files served changed
    std::vector<std::string> log_;
    bool loaded_ = false;
    bool acceptUnknownMinor_ = false;
    uint64_t nextIno_ = 4096;
    std::thread server_;
    int wakeup_[2] = {-1, -1};
    mutable std::mutex mutex_;
};

} // namespace sim
