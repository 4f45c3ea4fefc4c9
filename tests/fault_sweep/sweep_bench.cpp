#include "sweep_bench.h"

#include <cstdio>

namespace sweep
{

namespace
{
const hk::KernelCall allCalls[] = {hk::KernelCall::OpenDeviceKey,
                                   hk::KernelCall::QueryValue,
                                   hk::KernelCall::WriteRegistryValue,
                                   hk::KernelCall::DeleteRegistryValue,
                                   hk::KernelCall::CreateSymbolicLink,
                                   hk::KernelCall::DeleteSymbolicLink,
                                   hk::KernelCall::RegisterInterface,
                                   hk::KernelCall::SetInterfaceState,
                                   hk::KernelCall::OpenKey,
                                   hk::KernelCall::CreateKey,
                                   hk::KernelCall::EnumerateValue,
                                   hk::KernelCall::SetValue,
                                   hk::KernelCall::OpenSymbolicLink,
                                   hk::KernelCall::OpenDriverKey,
                                   hk::KernelCall::DeleteValue};

const LowerRequest allLower[] = {LowerRequest::Create,  LowerRequest::ManufacturerQuery,
                                 LowerRequest::Write,   LowerRequest::PnpStart,
                                 LowerRequest::PnpStop, LowerRequest::PnpRemove};

/* A registry that fails to read its own hive. */
const NTSTATUS STATUS_REGISTRY_IO_FAILED = (NTSTATUS)0xC000014DL;

const char* CallName(hk::KernelCall call)
{
    switch (call)
    {
    case hk::KernelCall::OpenDeviceKey:
        return "IoOpenDeviceRegistryKey";
    case hk::KernelCall::QueryValue:
        return "ZwQueryValueKey";
    case hk::KernelCall::WriteRegistryValue:
        return "RtlWriteRegistryValue";
    case hk::KernelCall::DeleteRegistryValue:
        return "RtlDeleteRegistryValue";
    case hk::KernelCall::CreateSymbolicLink:
        return "IoCreateSymbolicLink";
    case hk::KernelCall::DeleteSymbolicLink:
        return "IoDeleteSymbolicLink";
    case hk::KernelCall::RegisterInterface:
        return "IoRegisterDeviceInterface";
    case hk::KernelCall::SetInterfaceState:
        return "IoSetDeviceInterfaceState";
    case hk::KernelCall::OpenKey:
        return "ZwOpenKey";
    case hk::KernelCall::CreateKey:
        return "ZwCreateKey";
    case hk::KernelCall::EnumerateValue:
        return "ZwEnumerateValueKey";
    case hk::KernelCall::SetValue:
        return "ZwSetValueKey";
    case hk::KernelCall::OpenSymbolicLink:
        return "ZwOpenSymbolicLinkObject";
    case hk::KernelCall::OpenDriverKey:
        return "IoOpenDriverRegistryKey";
    case hk::KernelCall::DeleteValue:
        return "ZwDeleteValueKey";
    }
    return "?";
}

const char* LowerName(LowerRequest request)
{
    switch (request)
    {
    case LowerRequest::Create:
        return "create";
    case LowerRequest::ManufacturerQuery:
        return "manufacturer query";
    case LowerRequest::Write:
        return "output report write";
    case LowerRequest::PnpStart:
        return "start";
    case LowerRequest::PnpStop:
        return "stop";
    case LowerRequest::PnpRemove:
        return "remove";
    }
    return "?";
}

/*
 * The collection's own dispatch routine, and the one the sweep puts in
 * front of it: it counts the requests the driver sends down and, for the
 * armed one, has the collection fail it exactly as the collection's own
 * failure settings do.
 */
struct LowerFaults
{
    PDRIVER_DISPATCH collectionDispatch = nullptr;
    hk::VelkorHidCollection* hid = nullptr;
    std::map<LowerRequest, unsigned> seen;
    bool armed = false;
    bool fired = false;
    LowerRequest armedRequest = LowerRequest::Create;
    unsigned armedOrdinal = 0;
    NTSTATUS armedStatus = STATUS_SUCCESS;
};
LowerFaults lowerFaults;

bool Classify(PIRP irp, LowerRequest* request)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction)
    {
    case IRP_MJ_CREATE:
        *request = LowerRequest::Create;
        return true;
    case IRP_MJ_WRITE:
        *request = LowerRequest::Write;
        return true;
    case IRP_MJ_DEVICE_CONTROL:
        *request = LowerRequest::ManufacturerQuery;
        return stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_HID_GET_MANUFACTURER_STRING;
    case IRP_MJ_PNP:
        switch (stack->MinorFunction)
        {
        case IRP_MN_START_DEVICE:
            *request = LowerRequest::PnpStart;
            return true;
        case IRP_MN_STOP_DEVICE:
            *request = LowerRequest::PnpStop;
            return true;
        case IRP_MN_REMOVE_DEVICE:
            *request = LowerRequest::PnpRemove;
            return true;
        }
        return false;
    }
    return false;
}

void SetCollectionFailure(hk::VelkorHidCollection& hid, LowerRequest request, NTSTATUS status)
{
    switch (request)
    {
    case LowerRequest::Create:
        hid.SetCreateStatus(status);
        break;
    case LowerRequest::ManufacturerQuery:
        hid.SetManufacturerStatus(status);
        break;
    case LowerRequest::Write:
        hid.SetWriteStatus(status);
        break;
    case LowerRequest::PnpStart:
        hid.SetPnpStatus(IRP_MN_START_DEVICE, status);
        break;
    case LowerRequest::PnpStop:
        hid.SetPnpStatus(IRP_MN_STOP_DEVICE, status);
        break;
    case LowerRequest::PnpRemove:
        hid.SetPnpStatus(IRP_MN_REMOVE_DEVICE, status);
        break;
    }
}

NTSTATUS CountingDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    LowerRequest request;
    if (!Classify(irp, &request))
        return lowerFaults.collectionDispatch(device, irp);

    unsigned ordinal = ++lowerFaults.seen[request];
    if (!lowerFaults.armed || request != lowerFaults.armedRequest ||
        ordinal != lowerFaults.armedOrdinal)
        return lowerFaults.collectionDispatch(device, irp);

    /* The collection reads its failure setting before it answers. */
    lowerFaults.fired = true;
    SetCollectionFailure(*lowerFaults.hid, request, lowerFaults.armedStatus);
    NTSTATUS status = lowerFaults.collectionDispatch(device, irp);
    SetCollectionFailure(*lowerFaults.hid, request, STATUS_SUCCESS);
    return status;
}
} // namespace

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", (unsigned)status);
    return text;
}

std::string Describe(const FailurePoint& point)
{
    std::string text;
    switch (point.kind)
    {
    case PointKind::Pool:
        text = "pool allocation";
        break;
    case PointKind::Lower:
        text = std::string("HID ") + LowerName(point.lower);
        break;
    case PointKind::Kernel:
        text = CallName(point.call);
        break;
    }
    text += " " + std::to_string(point.ordinal) + "/" + std::to_string(point.of);
    if (!point.value.empty())
        text += " (" + Narrow(point.value) + ")";
    return text;
}

std::string Describe(const Fault& fault)
{
    std::string text = Describe(fault.point);
    if (fault.unwinding)
        text += ", then " + Describe(fault.onTheWayBack) + " undoing it";
    return text;
}

bool UndoesWork(hk::KernelCall call)
{
    return call == hk::KernelCall::DeleteSymbolicLink ||
           call == hk::KernelCall::DeleteRegistryValue || call == hk::KernelCall::DeleteValue ||
           call == hk::KernelCall::SetInterfaceState;
}

NTSTATUS InjectedStatus(const FailurePoint& point)
{
    switch (point.kind)
    {
    case PointKind::Pool:
        return STATUS_INSUFFICIENT_RESOURCES;
    case PointKind::Lower:
        switch (point.lower)
        {
        case LowerRequest::Create:
            return STATUS_SHARING_VIOLATION;
        case LowerRequest::ManufacturerQuery:
        case LowerRequest::Write:
        case LowerRequest::PnpStart:
            return STATUS_DEVICE_NOT_CONNECTED;
        case LowerRequest::PnpStop:
        case LowerRequest::PnpRemove:
            return STATUS_UNSUCCESSFUL;
        }
        break;
    case PointKind::Kernel:
        switch (point.call)
        {
        case hk::KernelCall::OpenDeviceKey:
        case hk::KernelCall::OpenDriverKey:
        case hk::KernelCall::OpenKey:
        case hk::KernelCall::CreateKey:
        case hk::KernelCall::SetValue:
        case hk::KernelCall::WriteRegistryValue:
        case hk::KernelCall::DeleteRegistryValue:
        case hk::KernelCall::DeleteSymbolicLink:
        case hk::KernelCall::DeleteValue:
            return STATUS_ACCESS_DENIED;
        case hk::KernelCall::QueryValue:
        case hk::KernelCall::EnumerateValue:
            return STATUS_REGISTRY_IO_FAILED;
        case hk::KernelCall::OpenSymbolicLink:
            return STATUS_INSUFFICIENT_RESOURCES;
        case hk::KernelCall::CreateSymbolicLink:
            /* Another port already holds the name. */
            return STATUS_OBJECT_NAME_COLLISION;
        case hk::KernelCall::RegisterInterface:
        case hk::KernelCall::SetInterfaceState:
            return STATUS_UNSUCCESSFUL;
        }
        break;
    }
    return STATUS_UNSUCCESSFUL;
}

Tally TakeTally()
{
    Tally tally;
    tally.pool = hk::AllocationCount();
    for (hk::KernelCall call : allCalls)
        tally.calls[call] = hk::CallCount(call);
    for (LowerRequest request : allLower)
        tally.lower[request] = lowerFaults.seen[request];
    tally.queried = hk::QueriedValueNames().size();
    return tally;
}

std::vector<FailurePoint> PointsBetween(const Tally& before, const Tally& after)
{
    std::vector<FailurePoint> points;
    FailurePoint point;

    point.kind = PointKind::Pool;
    point.of = after.pool - before.pool;
    for (point.ordinal = 1; point.ordinal <= point.of; point.ordinal++)
        points.push_back(point);

    point.kind = PointKind::Lower;
    for (LowerRequest request : allLower)
    {
        point.lower = request;
        point.of = after.lower.at(request) - before.lower.at(request);
        for (point.ordinal = 1; point.ordinal <= point.of; point.ordinal++)
            points.push_back(point);
    }

    point.kind = PointKind::Kernel;
    std::vector<hk::WString> queried = hk::QueriedValueNames();
    for (hk::KernelCall call : allCalls)
    {
        point.call = call;
        point.of = after.calls.at(call) - before.calls.at(call);
        for (point.ordinal = 1; point.ordinal <= point.of; point.ordinal++)
        {
            point.value = call == hk::KernelCall::QueryValue
                              ? queried.at(before.queried + point.ordinal - 1)
                              : hk::WString();
            points.push_back(point);
        }
    }
    return points;
}

void Arm(Stack& stack, const Fault& fault)
{
    const FailurePoint& point = fault.point;
    /* Counted from the step's start, like the first: the first failure
       does not change what comes before it. */
    if (fault.unwinding)
        hk::FailCall(fault.onTheWayBack.call, InjectedStatus(fault.onTheWayBack),
                     fault.onTheWayBack.ordinal);

    switch (point.kind)
    {
    case PointKind::Pool:
        hk::FailAllocationNumber(point.ordinal);
        break;
    case PointKind::Kernel:
        hk::FailCall(point.call, InjectedStatus(point), point.ordinal);
        break;
    case PointKind::Lower:
        lowerFaults.hid = stack.hid.get();
        lowerFaults.armed = true;
        lowerFaults.fired = false;
        lowerFaults.armedRequest = point.lower;
        /* Counted from the step's start, as the other kinds are. */
        lowerFaults.armedOrdinal = lowerFaults.seen[point.lower] + point.ordinal;
        lowerFaults.armedStatus = InjectedStatus(point);
        break;
    }
}

bool Disarm()
{
    bool fired = lowerFaults.fired;
    lowerFaults.armed = false;
    lowerFaults.fired = false;
    hk::FailAllocationNumber(0);
    hk::ClearCallFailures();
    return fired;
}

/* ---- The stack ------------------------------------------------------------ */

Stack::Stack(Answering answering)
{
    Build();
    if (answering == Answering::Pending)
    {
        hid->SetCreateAnswer(hk::Answer::FromThread);
        hid->SetManufacturerAnswer(hk::Answer::FromThread);
        hid->SetWriteAnswer(hk::Answer::FromThread);
    }
    PDRIVER_OBJECT collectionDriver = hid->Pdo()->DriverObject;
    lowerFaults = LowerFaults();
    lowerFaults.collectionDispatch = collectionDriver->MajorFunction[IRP_MJ_CREATE];
    lowerFaults.hid = hid.get();
    for (auto& routine : collectionDriver->MajorFunction)
        routine = CountingDispatch;
}

void Stack::BeginStep()
{
    createsBeforeStep_ = lowerFaults.seen[LowerRequest::Create];
}

bool Stack::CreateReachedHid() const
{
    return lowerFaults.seen[LowerRequest::Create] != createsBeforeStep_;
}

NTSTATUS Stack::Open()
{
    NTSTATUS status;
    std::unique_ptr<hk::UserFile> file = hk::UserFile::Open(hid->Pdo(), &status);
    if (file)
        files_.push_back(std::move(file));
    return status;
}

hk::UserFile* Stack::File(size_t index)
{
    return index < files_.size() ? files_[index].get() : nullptr;
}

void Stack::CloseFiles()
{
    files_.clear();
}

std::vector<std::string> Stack::TearDown()
{
    std::vector<std::string> problems;
    if (!hid)
        return problems;
    files_.clear();
    if (port)
    {
        /* Whatever the outcome, Plug and Play ends with the removal; it may
           not fail. */
        NTSTATUS status = Remove();
        if (status != STATUS_SUCCESS)
            problems.push_back("the removal that followed returned " + Hex(status));
    }
    Unload();
    return problems;
}

std::vector<std::string> Leftovers(const FailurePoint* point, bool stepRemoves,
                                   const hk::WString& interfaceName)
{
    bool kernel = point && point->kind == PointKind::Kernel;
    bool refusedLinkDelete =
        kernel && stepRemoves && point->call == hk::KernelCall::DeleteSymbolicLink;
    bool refusedValueDelete =
        kernel && stepRemoves && point->call == hk::KernelCall::DeleteRegistryValue;
    bool refusedSwitch = kernel && point->call == hk::KernelCall::SetInterfaceState;

    std::vector<std::string> problems =
        hk::TakeLeftovers().Problems(refusedLinkDelete ? 1 : 0, refusedValueDelete ? 1 : 0);
    if (!refusedSwitch && !interfaceName.empty() && hk::InterfaceEnabled(interfaceName))
        problems.push_back("the COM-port interface is still on");
    return problems;
}

} // namespace sweep
