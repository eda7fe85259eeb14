// The kinds of things to fix and of warnings: one table each (metric labels, man page
// names).  A kind is an enum name and a table row; the compiler keeps them in step.
#pragma once

#include <cstddef>
#include <iterator>

enum class ProblemKind {
    NoGpu, SideUnknown, SetpciMissing, LockedDown,
    GpuStateUnreadable, DeviceIdUnreadable, AcsUnknown, PathUnknown, HoldersUnseen,
    IsolationBreach, AcsRedirects, RecordMissing, RecordStale, RecordNotReadableNow,
    RecordNotStored, MemoryUnreadable,
    GpuUnhandled, StoreNeedsHostRecord, StoreMissing, StoreDisagrees, StoreMemoryAsleep,
    StoreMemoryHeld, StoreMemoryUnreadable,
    DriverNotLoaded, DriverGpuNotTaken, DriverMinor, DriverNodeMissing, DriverNotConfigured,
    Count,   // not a kind: how many there are
};

enum class WarningKind {
    LinkNarrow, GpuUnhandled, IsolationSplit, AcsNotKept, NoIommuGroup,
    Count,   // not a kind: how many there are
};

template <class Kind> struct KindRow {
    Kind kind;
    const char* name;   // "record_stale": its label in the metrics, its name in the man page
};

inline constexpr KindRow<ProblemKind> PROBLEM_KIND_TABLE[] = {
    {ProblemKind::NoGpu, "no_gpu"},
    {ProblemKind::SideUnknown, "side_unknown"},
    {ProblemKind::SetpciMissing, "setpci_missing"},
    {ProblemKind::LockedDown, "locked_down"},
    {ProblemKind::GpuStateUnreadable, "gpu_state_unreadable"},
    {ProblemKind::DeviceIdUnreadable, "device_id_unreadable"},
    {ProblemKind::AcsUnknown, "acs_unknown"},
    {ProblemKind::PathUnknown, "path_unknown"},
    {ProblemKind::HoldersUnseen, "holders_unseen"},
    {ProblemKind::IsolationBreach, "isolation_breach"},
    {ProblemKind::AcsRedirects, "acs_redirects"},
    {ProblemKind::RecordMissing, "record_missing"},
    {ProblemKind::RecordStale, "record_stale"},
    {ProblemKind::RecordNotReadableNow, "record_not_readable_now"},
    {ProblemKind::RecordNotStored, "record_not_stored"},
    {ProblemKind::MemoryUnreadable, "memory_unreadable"},
    {ProblemKind::GpuUnhandled, "gpu_unhandled"},
    {ProblemKind::StoreNeedsHostRecord, "store_needs_host_record"},
    {ProblemKind::StoreMissing, "store_missing"},
    {ProblemKind::StoreDisagrees, "store_disagrees"},
    {ProblemKind::StoreMemoryAsleep, "store_memory_asleep"},
    {ProblemKind::StoreMemoryHeld, "store_memory_held"},
    {ProblemKind::StoreMemoryUnreadable, "store_memory_unreadable"},
    {ProblemKind::DriverNotLoaded, "driver_not_loaded"},
    {ProblemKind::DriverGpuNotTaken, "driver_gpu_not_taken"},
    {ProblemKind::DriverMinor, "driver_minor"},
    {ProblemKind::DriverNodeMissing, "driver_node_missing"},
    {ProblemKind::DriverNotConfigured, "driver_not_configured"},
};

inline constexpr KindRow<WarningKind> WARNING_KIND_TABLE[] = {
    {WarningKind::LinkNarrow, "link_narrow"},
    {WarningKind::GpuUnhandled, "gpu_unhandled"},
    {WarningKind::IsolationSplit, "isolation_split"},
    {WarningKind::AcsNotKept, "acs_not_kept"},
    {WarningKind::NoIommuGroup, "noiommu_group"},
};

// Row i names kind i, and every kind has its row: no label shifts or reads past.
template <class Kind, std::size_t N> constexpr bool kindsInStep(const KindRow<Kind> (&rows)[N])
{
    for (std::size_t i = 0; i < N; ++i)
        if (static_cast<std::size_t>(rows[i].kind) != i)
            return false;
    return N == static_cast<std::size_t>(Kind::Count);
}
static_assert(kindsInStep(PROBLEM_KIND_TABLE), "a problem kind without its row, or out of order");
static_assert(kindsInStep(WARNING_KIND_TABLE), "a warning kind without its row, or out of order");

constexpr std::size_t PROBLEM_KINDS = std::size(PROBLEM_KIND_TABLE);
constexpr std::size_t WARNING_KINDS = std::size(WARNING_KIND_TABLE);

constexpr const char* kindName(ProblemKind kind)
{
    return PROBLEM_KIND_TABLE[static_cast<std::size_t>(kind)].name;
}
constexpr const char* kindName(WarningKind kind)
{
    return WARNING_KIND_TABLE[static_cast<std::size_t>(kind)].name;
}
