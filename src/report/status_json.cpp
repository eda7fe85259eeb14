// The report as one JSON document, for a program: the text's facts and verdict.
#include "status_json.h"

#include "wording.h"

#include <nlohmann/json.hpp>

NLOHMANN_JSON_SERIALIZE_ENUM(RecordState, {{RecordState::NotRead, "not read"},
    {RecordState::Valid, "valid"}, {RecordState::Absent, "absent"},
    {RecordState::OtherDevice, "other device"}, {RecordState::Unreadable, "unreadable"},
    {RecordState::NotChecked, "not checked"}})
NLOHMANN_JSON_SERIALIZE_ENUM(StoreState, {{StoreState::NotRead, "not read"},
    {StoreState::Valid, "valid"}, {StoreState::Missing, "missing"},
    {StoreState::Invalid, "invalid"}, {StoreState::Disagrees, "disagrees with memory"}})
NLOHMANN_JSON_SERIALIZE_ENUM(AcsState, {{AcsState::Unknown, "unknown"},
    {AcsState::Absent, "absent"}, {AcsState::Present, "present"}})
// What this boot's stores recorded of a GPU a host leaves alone, or null.
NLOHMANN_JSON_SERIALIZE_ENUM(BootStore, {{BootStore::NotRead, nullptr},
    {BootStore::Current, "current"}, {BootStore::Missing, "missing"}, {BootStore::Stale, "stale"}})

namespace {

using Json = nlohmann::ordered_json;

Json textOrNull(bool present, const std::string& text)
{
    return present ? Json(text) : Json(nullptr);
}

Json optionalText(const std::optional<std::string>& text)
{
    return text ? Json(*text) : Json(nullptr);
}

Json linkJson(const PciLink& link)
{
    if (!link.known)
        return nullptr;
    return Json{{"speed", linkSpeedText(link.speed)},
                {"width", link.width},
                {"maxSpeed", linkSpeedText(link.maxSpeed)},
                {"maxWidth", link.maxWidth}};
}

// The process holding a GPU on a host, or null.
Json userJson(const GpuFacts& g)
{
    if (!g.inUse)
        return nullptr;
    // Xen's pciback holds it for a guest no process stands for.
    if (g.holder == Holder::XenGuest)
        return Json{{"pid", nullptr}, {"name", "pciback"}, {"guest", nullptr}};
    return Json{{"pid", g.user.pid},
                {"name", g.user.name},
                {"guest", textOrNull(!g.user.guest.empty(), g.user.guest)}};
}

Json gpuJson(const GpuFacts& g, std::size_t index, bool guest)
{
    const bool validRecord = g.record == RecordState::Valid;
    const bool validStore = g.store == StoreState::Valid || g.store == StoreState::Disagrees;
    return Json{
        {"index", index},
        {"bus", g.bus},
        {"deviceId", optionalText(g.deviceId)},
        {"handled", g.handled},
        {"answers", g.configRead},
        {"stateReason", textOrNull(!g.configRead, g.configReason)},
        {"product", textOrNull(!g.product.empty(), g.product)},
        {"productReason", textOrNull(!g.productReason.empty(), g.productReason)},
        {"numaNode", g.numaNode ? Json(std::to_string(*g.numaNode)) : Json(nullptr)},
        {"localCpus", optionalText(g.localCpus)},
        {"iommuGroup", textOrNull(!g.iommuGroup.empty(), g.iommuGroup)},
        {"noIommu", g.iommuGroup.empty() ? Json(nullptr) : Json(g.noIommu)},
        {"driver", textOrNull(!g.driver.empty(), g.driver)},
        {"passthrough", g.through == Passthrough::Vfio      ? Json("vfio")
                        : g.through == Passthrough::Pciback ? Json("pciback")
                                                            : Json(nullptr)},
        {"inUseBy", userJson(g)},
        {"bar0Base", textOrNull(g.configRead, hex(g.bar0Base))},
        {"bar0Size", g.bar0Size ? Json(g.bar0Size) : Json(nullptr)},
        {"minor", g.minor ? Json(std::to_string(*g.minor)) : Json(nullptr)},
        {"link", linkJson(g.link)},
        {"fullWidth", g.fullWidth ? Json(g.fullWidth) : Json(nullptr)},
        {"record",
         {{"state", g.record},
          {"reason", textOrNull(g.record == RecordState::Unreadable ||
                                    g.record == RecordState::NotChecked,
                                g.recordReason)},
          {"base", textOrNull(validRecord, hex(g.recordBase))},
          {"current", validRecord && !guest ? Json(g.recordBase == g.bar0Base) : Json(nullptr)},
          {"deviceId", textOrNull(g.record == RecordState::OtherDevice,
                                  deviceIdText(g.recordDeviceId))},
          {"storedThisBoot", g.bootStore}}},
        {"storeFile",
         {{"state", g.store},
          {"reason", textOrNull(g.store == StoreState::Invalid, g.storeReason)},
          {"base", textOrNull(validStore, hex(g.storeBase))}}},
        {"driverConfigured", g.driverConfig == DriverConfig::NotRead
                                 ? Json(nullptr)
                                 : Json(g.driverConfig == DriverConfig::Configured)},
        {"pathKnown", g.path.known},
        {"rootBus", textOrNull(g.path.known, g.path.rootBus)},
        {"path", g.path.ports},
    };
}

Json portJson(const PortFacts& p, bool keptOff)
{
    const bool acs = p.acs == AcsState::Present && !p.acsUnknown();
    return Json{
        {"bus", p.bus},
        {"type", textOrNull(p.typeKnown, portTypeName(p.portType))},
        {"acs", p.acsUnknown() ? AcsState::Unknown : p.acs},
        {"acsUnknownReason", textOrNull(p.acsUnknown(), p.unknownReason)},
        {"acsCtl", textOrNull(acs, decodeAcsCtl(p.acsCtl))},
        {"acsCtlValue", acs ? Json(p.acsCtl) : Json(nullptr)},
        {"redirects", p.redirects()},
        {"keptOffByKernel", p.portType == PORT_DOWNSTREAM ? Json(keptOff) : Json(nullptr)},
        {"link", linkJson(p.link)},
    };
}

Json isolationJson(const StatusReport& report, const std::vector<IsolationPair>& pairs)
{
    Json out = Json::array();
    for (const IsolationPair& pair : pairs) {
        Json gpus = Json::array();
        for (const std::size_t i : {pair.a, pair.b}) {
            const GpuFacts& g = report.gpus[i];
            gpus.push_back(Json{{"bus", g.bus}, {"iommuGroup", g.iommuGroup}, {"inUseBy", userJson(g)}});
        }
        out.push_back(Json{{"switch", pair.switchBus}, {"gpus", gpus}});
    }
    return out;
}

} // namespace

std::string renderJson(const StatusReport& report)
{
    const MachineFacts& m = report.machine;
    Json gpus = Json::array(), ports = Json::array(), links = Json::array(),
         redirected = Json::array(), unknownAcs = Json::array(), fixes = Json::array();
    for (std::size_t i = 0; i < report.gpus.size(); ++i) {
        gpus.push_back(gpuJson(report.gpus[i], i, m.guest));
        Json names = Json::array(), marks = Json::array(), unknown = Json::array();
        for (const Link& link : report.links[i]) {
            names.push_back(linkName(link.kind));
            marks.push_back(link.redirected);
            unknown.push_back(link.acsUnknown);
        }
        links.push_back(names);
        redirected.push_back(marks);
        unknownAcs.push_back(unknown);
    }
    for (const auto& [bus, port] : report.ports)
        ports.push_back(portJson(port, report.acsKeptOff.count(bus) > 0));
    for (const Fix& fix : report.verdict.fixes) {
        Json kinds = Json::array();
        for (const ProblemKind kind : fix.kinds)
            kinds.push_back(kindName(kind));
        fixes.push_back(Json{{"problems", fix.problems},
                             {"kind", kinds},
                             {"advice", fix.advice},
                             {"where", textOrNull(!fix.where.empty(), fix.where)},
                             {"command", textOrNull(!fix.command.empty(), fix.command)}});
    }
    const Json doc{
        {"side", m.guest ? "guest" : "host"},
        {"machine",
         {{"hypervisor", m.cpuFlag},
          {"xenDom0", m.xenDom0},
          {"firmwareSignals", m.firmwareSignals},
          {"sideKnown", m.sideKnown},
          {"driverLoaded", m.driverLoaded},
          {"setpci", m.setpci},
          {"lockdown", m.lockdown},
          {"iommu", m.iommu},
          {"holdersJudged", m.guest ? Json(nullptr) : Json(m.holdersJudged())},
          {"unseenProcesses", m.unseenProcesses},
          {"processesHidden", m.processesHidden},
          {"lastNode", textOrNull(m.guest, m.lastNode)},
          {"lastNodeThere", m.guest ? Json(m.lastNodeThere) : Json(nullptr)},
          {"configurationRecord", m.guest ? Json(m.configurationRecord) : Json(nullptr)},
          {"acsRedirParameter", m.acsRedirList ? Json(*m.acsRedirList) : Json(nullptr)}}},
        {"gpus", gpus},
        {"ports", ports},
        {"links", links},
        {"redirected", redirected},
        {"acsUnknown", unknownAcs},
        {"isolation",
         {{"judged", !m.guest && m.iommu && m.holdersJudged()},
          {"warnings", isolationJson(report, report.verdict.isolationWarnings)},
          {"breaches", isolationJson(report, report.verdict.isolationBreaches)}}},
        {"notChecked", report.verdict.notChecked},
        {"ready", report.verdict.ready()},
        {"fixes", fixes},
        {"warnings", report.verdict.warnings},
    };
    // Sysfs texts need not be UTF-8: a byte that is not becomes U+FFFD
    // rather than an exception.
    return doc.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

