#include "app.h"

#include "enum_device.h"
#include "messages.h"
#include "daemon.h"
#include "modes.h"
#include "platform.h"
#include "utils.h"
#include "writers.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char* const TOOL_DESCRIPTION =
    "qvgpu-vm-p2p is a tool helps to improve p2p rates in virtual machines..";

struct Modes {
    bool disableAcs = false;
    bool storeData = false;
    bool saveData = false;
    bool configAddress = false;
    bool daemon = false;
    bool version = false;
    // The GPUs a store is limited to (a guest's, from libvirt's hook).
    std::vector<std::string> gpus;
};

// The one mode a run does after discovery (and ACS).
int runMode(const Modes& modes, const DeviceList& devices, const std::set<std::string>& busIdSet,
            std::size_t leftAlone)
{
    if (modes.storeData)
        return runStoreData(devices, leftAlone);
    if (modes.saveData)
        return runSaveData(devices);
    // A failed configuration still lets the daemon start (it tries again when
    // the driver comes back); alone, it is a failed run.
    const int configured = modes.configAddress ? runConfigAddress(busIdSet) : 0;
    if (configured == -1)
        return -1;
    if (modes.daemon)
        return runDaemon(busIdSet, static_cast<int32_t>(busIdSet.size()));
    return configured == CONFIG_FAILED ? -1 : 0;
}

int runModes(const Modes& modes)
{
    // Without setpci no GPU can be woken: refuse to work on sleeping GPUs.
    if (!onCommandPath("setpci")) {
        std::printf("Please install pciutils.\n");
        return -1;
    }

    // Stores wait for each other, or their wakes and records would interleave.
    std::unique_ptr<StoreLock> lock;
    if (modes.storeData && !isVirtualMachine()) {
        lock = std::make_unique<StoreLock>();
        if (!lock->error().empty()) {
            colouredLine(Colour::Red, "Error: Cannot lock %s: %s", StoreLock::path(),
                         lock->error().c_str());
            return -1;
        }
    }

    // Discovery, whatever mode follows: every GPU that answers is woken.
    auto enumerator = std::make_unique<EnumDevice>();
    try {
        if (!modes.gpus.empty() && !enumerator->limitTo(modes.gpus))
            return -1;
        enumerator->initPciDevice();
    } catch (const std::filesystem::filesystem_error& e) {
        colouredLine(Colour::Red, "Error: Cannot open %s: %s", e.path1().c_str(),
                     e.code().message().c_str());
        return -1;
    }
    const std::set<std::string> busIdSet = enumerator->getAllBusIdSet();
    const DeviceList devices = buildDeviceList(enumerator->getAllBoards());

    AcsOutcome acs;
    if (modes.disableAcs) {
        if (isVirtualMachine()) {
            colouredLine(Colour::Yellow, "Warning: '--disable-acs' only works in host machine!");
            return -1;
        }
        acs = disableACSCtl(busIdSet, enumerator->leftAlone());
    }
    // The mode runs even when ACS was not cleared everywhere; then the run's
    // last word is the ACS failure.
    const int status = runMode(modes, devices, busIdSet, enumerator->leftAlone().size());
    if (acs.notCleared == 0)
        return status;
    colouredLine(Colour::Red, "Error: disable ACS failed for %d of %d switch ports!",
                 acs.notCleared, acs.written);
    return -1;
}

} // namespace

int qvMain(int argc, char** argv)
{
    // Line-buffered: the daemon's output is read while it runs.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    Modes modes;
    CLI::App app{TOOL_DESCRIPTION, ""};
    // Not in the help, whose text is fixed (qvgpu-vm-p2p(8) documents it);
    // added first, so its hidden group leaves the help's end as it is.
    app.add_option("--gpus", modes.gpus)->delimiter(',')->group("");
    app.add_flag("--disable-acs", modes.disableAcs, "Disable ACSCtl.");
    app.add_flag("--store-data", modes.storeData, "Store the bar0 data about qvgpus to hbm.");
    app.add_flag("--save-data", modes.saveData, "Save the bar0 data about qvgpus to a file.");
    app.add_flag("--config-address", modes.configAddress, "Coordinate the kmd initializes qvgpus");
    app.add_flag("--daemon", modes.daemon, "Run as daemon.");
    app.add_flag("-v, --version", modes.version, "Print version information.");
    app.set_help_flag("-h, --help", "Print this help message and exit.");

    // Help and parse errors are answered before the root check, for anyone.
    try {
        app.parse(argc, argv);
        // A hidden option goes without its name in CLI11's own message.
        if (!modes.gpus.empty() && !modes.storeData)
            throw CLI::RequiresError("--gpus", "--store-data");
    } catch (const CLI::ParseError& e) {
        return app.exit(e, std::cout, std::cerr);
    }

    if (geteuid() != 0) {
        std::printf("Requires root privileges.\n");
        return -1;
    }
    if (argc == 1) {
        std::cout << app.help("", CLI::AppFormatMode::Normal);
        return -1;
    }
    if (modes.version) {
        std::printf("Morvanti Tarsel GPU VM-P2P Tool version: %s\n", QVGPU_VERSION);
        return 0;
    }

    // No exception ends the program: an error line and status 255 instead.
    try {
        return runModes(modes);
    } catch (const std::exception& e) {
        colouredLine(Colour::Red, "Error: %s", e.what());
    } catch (...) {
        colouredLine(Colour::Red, "Error: unexpected failure");
    }
    return -1;
}
