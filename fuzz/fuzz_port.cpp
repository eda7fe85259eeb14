// A configuration space as a broken or vanishing device may hand it out,
// the sysfs texts that the status report prints as text and as JSON, and
// the same bytes as a firmware's SMBIOS table and DMI strings, and as a
// kernel command line.
#include "kernel_cmdline.h"
#include "side.h"
#include "status_facts.h"
#include "status_json.h"

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<uint8_t> config(data, data + size);
    const PortFacts port = decodePort("0000:00:00.0", config);
    if (port.portType < -1 || port.portType > 15 ||
        (!port.configRead && port.acs == AcsState::Present) ||
        (port.acs == AcsState::Unknown && port.redirects()))
        std::abort();
    if (port.acs == AcsState::Present && decodeAcsCtl(port.acsCtl).size() != 79)
        std::abort();
    // A state is only ever decided from bytes that were read.
    if (size < 64 && asleepReason(config) != CONFIG_UNREAD)
        std::abort();
    decodeLink(config);
    const std::string text(config.begin(), config.end());
    for (const char c : printable(text))
        if (c < 0x20 || c > 0x7E)
            std::abort();
    // Whatever the bytes, the document is one that parses.
    StatusReport report;
    GpuFacts gpu;
    gpu.bus = "0000:00:00.0";
    gpu.localCpus = text;
    gpu.driver = text;
    report.gpus.push_back(gpu);
    report.links.assign(1, std::vector<Link>(1));
    report.verdict.warnings.push_back(text);
    report.verdict.warningKinds.push_back(WarningKind::LinkNarrow);
    if (nlohmann::json::parse(renderJson(report), nullptr, false).is_discarded())
        std::abort();
    parseLockdown(text);
    // A kernel command line: whatever it holds, the kernel's rules read it
    // without running past its end, and the parameter stays one.
    const std::optional<std::string> list = acsRedirList(kernelParameters(text));
    PciIdentity device;
    device.devfn = 8 << 3;
    acsRedirNames(text, {device, PciIdentity{}});
    if (list)
        acsRedirNames(*list, {device});
    const std::string ours = "pci=disable_acs_redir=0000:00:01.0/08.0";
    if (acsRedirParameter({"0000:00:01.0/08.0"}, {{device, PciIdentity{}}}, list)
            .compare(0, ours.size(), ours) != 0)
        std::abort();
    const SmbiosVm vm = smbiosVmBit(text);
    DmiStrings dmi;
    for (std::string& field : dmi.field)
        field = text;
    // A signal names a field and what it holds, or is the SMBIOS mark.
    for (const std::string& signal : firmwareSignals(dmi, vm))
        if (signal.empty())
            std::abort();
    return 0;
}
