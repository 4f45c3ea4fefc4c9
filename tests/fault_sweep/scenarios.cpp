#include "scenarios.h"

namespace sweep
{

namespace
{

using hk::WString;

bool IsCall(const FailurePoint* point, hk::KernelCall call)
{
    return point && point->kind == PointKind::Kernel && point->call == call;
}

bool IsLower(const FailurePoint* point, LowerRequest request)
{
    return point && point->kind == PointKind::Lower && point->lower == request;
}

/* The request reports the failure as the kernel or the HID stack gave it,
   and exhausted pool as STATUS_INSUFFICIENT_RESOURCES. */
NTSTATUS Reported(const FailurePoint* point)
{
    return point ? InjectedStatus(*point) : STATUS_SUCCESS;
}

/*
 * When PortName cannot be read, Identifier stands in; the sweep's device
 * has none, so its read decides the outcome.
 */
NTSTATUS PublicationReported(const FailurePoint* point)
{
    if (IsCall(point, hk::KernelCall::QueryValue) && point->value == u"PortName")
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return Reported(point);
}

void Require(Problems& problems, const char* what, NTSTATUS status)
{
    if (status != STATUS_SUCCESS)
        problems.push_back(std::string("setup: ") + what + " returned " + Hex(status));
}

void Expect(Problems& problems, bool holds, const std::string& what)
{
    if (!holds)
        problems.push_back(what);
}

/* The port is reachable as Name: its DOS link names the interface, and
   SERIALCOMM pairs the interface with Name. */
bool PublishedAs(Stack& stack, const WString& name)
{
    auto links = hk::SymbolicLinks();
    auto link = links.find(u"\\GLOBAL??\\" + name);
    hk::RegistryValue value;
    return link != links.end() && link->second == stack.InterfaceName() &&
           hk::GetValue(hk::SerialCommKey, stack.InterfaceName(), &value) && value.type == REG_SZ &&
           hk::StringOf(value) == name;
}

bool LinkExists(const WString& name)
{
    return hk::SymbolicLinks().count(u"\\GLOBAL??\\" + name) != 0;
}

/* The kernel refused this call, on the step's way or on its way back. */
bool Refused(const Fault* fault, hk::KernelCall call)
{
    return fault && (IsCall(&fault->point, call) ||
                     (fault->unwinding && IsCall(&fault->onTheWayBack, call)));
}

bool NothingPublished(const Fault* fault)
{
    /* A refused delete keeps its name until the next withdrawal. */
    bool links = hk::SymbolicLinks().empty() || Refused(fault, hk::KernelCall::DeleteSymbolicLink);
    bool values = hk::Values(hk::SerialCommKey).empty() ||
                  Refused(fault, hk::KernelCall::DeleteRegistryValue);
    return links && values;
}

bool SettingsAre(Stack& stack, ULONG keyFunc, ULONG pttFunc, bool keyInverted, bool pttInverted)
{
    hk::KeyingMapping mapping = stack.Mapping();
    return mapping.keyFunc == keyFunc && mapping.pttFunc == pttFunc &&
           mapping.keyInverted == keyInverted && mapping.pttInverted == pttInverted;
}

void PrepareAdded(Stack& stack, Problems& problems)
{
    Require(problems, "AddDevice", stack.Add());
}

void PrepareStarted(Stack& stack, Problems& problems)
{
    PrepareAdded(stack, problems);
    if (problems.empty())
        Require(problems, "start", stack.Start());
}

/* A keying program has the port open and the device proved itself. */
void PrepareOpened(Stack& stack, Problems& problems)
{
    PrepareStarted(stack, problems);
    if (!problems.empty())
        return;
    Require(problems, "open", stack.Open());
    Expect(problems, stack.IdentityVerified(), "setup: the open did not verify the device");
}

/* ---- add: AddDevice ------------------------------------------------------------ */

void PrepareNothing(Stack&, Problems&) {}

NTSTATUS StepAdd(Stack& stack)
{
    return stack.Add();
}

NTSTATUS ExpectAdd(const FailurePoint* point, Stack&)
{
    return Reported(point);
}

void CheckAdd(const Fault*, NTSTATUS status, Stack& stack, Problems& problems)
{
    if (!NT_SUCCESS(status))
    {
        Expect(problems, !stack.Added(), "a failed AddDevice left its device in the stack");
        return;
    }
    Expect(problems, stack.Added(), "AddDevice succeeded without a device");
    Expect(problems, !hk::InterfaceEnabled(stack.InterfaceName()),
           "the interface is on before the start");
}

/* ---- start: IRP_MN_START_DEVICE ---------------------------------------------- */

NTSTATUS StepStart(Stack& stack)
{
    return stack.Start();
}

NTSTATUS ExpectStart(const FailurePoint* point, Stack&)
{
    return PublicationReported(point);
}

void CheckStart(const Fault* fault, NTSTATUS status, Stack& stack, Problems& problems)
{
    if (status == STATUS_SUCCESS)
    {
        Expect(problems, PublishedAs(stack, u"COM5"), "the started port is not published as COM5");
        Expect(problems, hk::InterfaceEnabled(stack.InterfaceName()),
               "the started port's interface is off");
        Expect(problems, SettingsAre(stack, 1, 2, false, false),
               "the started port did not take the stored settings");
    }
    /* Wine keeps a failed start's interface openable: nothing may stay. */
    if (!NT_SUCCESS(status))
    {
        Expect(problems, NothingPublished(fault), "a port that failed to start has a name");
        if (!Refused(fault, hk::KernelCall::SetInterfaceState))
            Expect(problems, !hk::InterfaceEnabled(stack.InterfaceName()),
                   "a port that failed to start has its interface on");
    }
}

/* ---- open: IRP_MJ_CREATE ---------------------------------------------------- */

NTSTATUS StepOpen(Stack& stack)
{
    return stack.Open();
}

NTSTATUS ExpectOpen(const FailurePoint* point, Stack& stack)
{
    /* The HID stack decides an open it received; one the port could not
       take on for want of memory never reaches it. */
    if (IsLower(point, LowerRequest::Create))
        return Reported(point);
    if (point && point->kind == PointKind::Pool && !stack.CreateReachedHid())
        return STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
}

void CheckOpen(const Fault* fault, NTSTATUS status, Stack& stack, Problems& problems)
{
    if (!NT_SUCCESS(status))
    {
        Expect(problems, stack.hid->OpenCount() == 0, "the HID stack holds an open that failed");
        return;
    }
    /* Only an answered query that matches enables reports. */
    bool verified = fault == nullptr;
    Expect(problems, stack.IdentityVerified() == verified,
           verified ? "the device was not verified" : "the device counts as verified");

    stack.hid->ClearWrites();
    Expect(problems, stack.File()->DeviceControl(IOCTL_SERIAL_SET_DTR) == STATUS_SUCCESS,
           "a line change after the open failed");
    Expect(problems, stack.hid->Writes().size() == (verified ? 1u : 0u),
           verified ? "no report for a verified device" : "a report for an unverified device");
}

/* ---- second open: IRP_MJ_CREATE while a verified handle is open ------------- */

void CheckSecondOpen(const Fault*, NTSTATUS status, Stack& stack, Problems& problems)
{
    /* A query that got no answer leaves the first open's verdict. */
    Expect(problems, stack.IdentityVerified(), "the device no longer counts as verified");

    /* Reports go out in the context of the newest open the HID stack holds. */
    bool opened = NT_SUCCESS(status);
    Expect(problems, stack.hid->OpenCount() == (opened ? 2u : 1u),
           "the HID stack holds another number of opens");
    hk::UserFile* newest = stack.File(opened ? 1 : 0);
    stack.hid->ClearWrites();
    Expect(problems, newest->DeviceControl(IOCTL_SERIAL_SET_DTR) == STATUS_SUCCESS,
           "a line change after the second open failed");
    auto writes = stack.hid->Writes();
    Expect(problems, writes.size() == 1 && writes[0].fileObject == newest->FileObject(),
           "the report did not go out for the newest open");
}

/* ---- line change: IOCTL_SERIAL_SET_DTR -------------------------------------- */

void PrepareLineChange(Stack& stack, Problems& problems)
{
    PrepareOpened(stack, problems);
    stack.hid->ClearWrites();
}

NTSTATUS StepLineChange(Stack& stack)
{
    return stack.File()->DeviceControl(IOCTL_SERIAL_SET_DTR);
}

NTSTATUS ExpectLineChange(const FailurePoint*, Stack&)
{
    /* A refused or failed report is not the application's business. */
    return STATUS_SUCCESS;
}

void CheckLineChange(const Fault* fault, NTSTATUS, Stack& stack, Problems& problems)
{
    auto writes = stack.hid->Writes();
    if (!fault)
        Expect(problems,
               writes.size() == 1 && writes[0].bytes == hk::Bytes{0, 1, 0x02, 0, 0, 0, 0, 0, 0},
               "SET_DTR did not send 00 01 02 00 00 00 00 00 00");

    /* The next change is reported as if nothing had failed. */
    size_t before = writes.size();
    Expect(problems, stack.File()->DeviceControl(IOCTL_SERIAL_CLR_DTR) == STATUS_SUCCESS,
           "the next line change failed");
    writes = stack.hid->Writes();
    Expect(problems,
           writes.size() == before + 1 && writes.back().bytes.size() == 9 &&
               writes.back().bytes[2] == 0x03,
           "the next line change did not send state 03");
}

/* ---- reload: IOCTL_KEYER_RELOAD_SETTINGS ------------------------------------ */

void PrepareReload(Stack& stack, Problems& problems)
{
    PrepareOpened(stack, problems);
    /* The page stored a new mapping. */
    hk::SetDword(stack.Key(), u"KeyFunc", 2);
    hk::SetDword(stack.Key(), u"PttFunc", 1);
    hk::SetDword(stack.Key(), u"KeyLogic", 1);
    hk::SetDword(stack.Key(), u"PttLogic", 1);
}

NTSTATUS StepReload(Stack& stack)
{
    return stack.File()->DeviceControl(IOCTL_KEYER_RELOAD_SETTINGS);
}

NTSTATUS ExpectReload(const FailurePoint* point, Stack&)
{
    return Reported(point);
}

void CheckReload(const Fault* fault, NTSTATUS, Stack& stack, Problems& problems)
{
    if (!fault)
        Expect(problems, SettingsAre(stack, 2, 1, true, true),
               "the reload did not take the new mapping");
    Expect(problems, stack.File()->DeviceControl(IOCTL_SERIAL_SET_RTS) == STATUS_SUCCESS,
           "a line change after the reload failed");
    Expect(problems, stack.File()->DeviceControl(IOCTL_KEYER_RELOAD_SETTINGS) == STATUS_SUCCESS,
           "a second reload with nothing failing did not succeed");
    Expect(problems, SettingsAre(stack, 2, 1, true, true),
           "a second reload did not take the new mapping");
}

/* ---- republish: IOCTL_KEYER_REPUBLISH_PORT ---------------------------------- */

void PrepareRepublish(Stack& stack, Problems& problems)
{
    PrepareOpened(stack, problems);
    hk::SetString(stack.Key(), u"PortName", u"COM12");
}

NTSTATUS StepRepublish(Stack& stack)
{
    return stack.File()->DeviceControl(IOCTL_KEYER_REPUBLISH_PORT);
}

NTSTATUS ExpectRepublish(const FailurePoint* point, Stack&)
{
    /* Withdrawing the old name never fails the request. */
    if (IsCall(point, hk::KernelCall::DeleteSymbolicLink) ||
        IsCall(point, hk::KernelCall::DeleteRegistryValue))
        return STATUS_SUCCESS;
    return PublicationReported(point);
}

void CheckRepublish(const Fault* fault, NTSTATUS status, Stack& stack, Problems& problems)
{
    if (status == STATUS_SUCCESS)
    {
        Expect(problems, PublishedAs(stack, u"COM12"), "the port is not published as COM12");
        /* Also when deleting it was refused once: publication tries again. */
        Expect(problems, !LinkExists(u"COM5"), "the old name COM5 is still linked");
    }
    else
    {
        Expect(problems, NothingPublished(fault), "a failed republish left a name published");
    }
    /* Once nothing fails any more, the port can be published again. */
    Expect(problems, stack.File()->DeviceControl(IOCTL_KEYER_REPUBLISH_PORT) == STATUS_SUCCESS,
           "a republish with nothing failing did not succeed");
    Expect(problems, PublishedAs(stack, u"COM12"), "the port is not published as COM12 again");
}

/* ---- stop: IRP_MN_STOP_DEVICE ----------------------------------------------- */

NTSTATUS StepStop(Stack& stack)
{
    return stack.Stop();
}

NTSTATUS ExpectStop(const FailurePoint* point, Stack&)
{
    /* The withdrawal never fails; the HID stack's answer is the stop's. */
    if (IsLower(point, LowerRequest::PnpStop))
        return Reported(point);
    return STATUS_SUCCESS;
}

void CheckStop(const Fault* fault, NTSTATUS, Stack& stack, Problems& problems)
{
    Expect(problems, NothingPublished(fault), "the stopped port still has a name");
    if (!Refused(fault, hk::KernelCall::SetInterfaceState))
        Expect(problems, !hk::InterfaceEnabled(stack.InterfaceName()),
               "the stopped port's interface is on");
    /* A link whose delete was refused is deleted before COM5 is linked again. */
    Expect(problems, stack.Start() == STATUS_SUCCESS, "the port did not start again");
    Expect(problems, PublishedAs(stack, u"COM5"), "the restarted port is not published as COM5");
}

/* ---- restart: IRP_MN_START_DEVICE after a stop ------------------------------- */

/* The extension still holds the last publication's buffers. */
void PrepareRestart(Stack& stack, Problems& problems)
{
    PrepareOpened(stack, problems);
    if (problems.empty())
        Require(problems, "stop", stack.Stop());
}

/* ---- remove: IRP_MN_REMOVE_DEVICE ------------------------------------------- */

void PrepareRemove(Stack& stack, Problems& problems)
{
    PrepareOpened(stack, problems);
    /* The program closed its handle; then the device was unplugged. */
    stack.CloseFiles();
}

NTSTATUS StepRemove(Stack& stack)
{
    return stack.Remove();
}

NTSTATUS ExpectRemove(const FailurePoint*, Stack&)
{
    /* Plug and Play does not let a driver fail a removal. */
    return STATUS_SUCCESS;
}

void CheckRemove(const Fault*, NTSTATUS, Stack& stack, Problems& problems)
{
    Expect(problems, !stack.Added(), "the port is still in the stack");
}

/* ---- surprise removal: IRP_MN_SURPRISE_REMOVAL with the port held -------- */

/* The wait the keying program left pending when the keyer was unplugged. */
hk::RequestPtr heldWait;

void PrepareSurpriseRemoval(Stack& stack, Problems& problems)
{
    PrepareOpened(stack, problems);
    if (!problems.empty())
        return;
    Require(problems, "set wait mask",
            stack.File()->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, hk::Word(SERIAL_EV_CTS)));
    heldWait = stack.File()->StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    stack.hid->ClearWrites();
}

NTSTATUS StepSurpriseRemoval(Stack& stack)
{
    return stack.SurpriseRemove();
}

NTSTATUS ExpectSurpriseRemoval(const FailurePoint*, Stack&)
{
    /* Plug and Play does not let a driver fail a surprise removal. */
    return STATUS_SUCCESS;
}

void CheckSurpriseRemoval(const Fault* fault, NTSTATUS, Stack& stack, Problems& problems)
{
    Expect(problems, heldWait->Wait() && heldWait->Status() == STATUS_SUCCESS,
           "the pending wait did not end with success");
    heldWait.reset();
    Expect(problems, NothingPublished(fault), "the unplugged port still has a name");
    if (!Refused(fault, hk::KernelCall::SetInterfaceState))
        Expect(problems, !hk::InterfaceEnabled(stack.InterfaceName()),
               "the unplugged port's interface is on");

    /* The program keys on and tries to republish; nothing goes anywhere. */
    Expect(problems, stack.File()->DeviceControl(IOCTL_SERIAL_SET_DTR) == STATUS_DELETE_PENDING,
           "a line change on the unplugged port did not fail with STATUS_DELETE_PENDING");
    Expect(problems,
           stack.File()->DeviceControl(IOCTL_KEYER_REPUBLISH_PORT) == STATUS_DELETE_PENDING,
           "a republish on the unplugged port did not fail with STATUS_DELETE_PENDING");
    Expect(problems, stack.hid->Writes().empty(), "a report reached the unplugged device");
    Expect(problems, NothingPublished(fault), "a republish published the unplugged port");

    /* Its close lets the HID stack go; the removal follows (TearDown). */
    stack.CloseFiles();
    Expect(problems, stack.hid->OpenCount() == 0, "the HID stack still holds the program's open");
}

} // namespace

const std::vector<Scenario>& Scenarios()
{
    static const std::vector<Scenario> scenarios = {
        {"add", false, PrepareNothing, StepAdd, ExpectAdd, CheckAdd},
        {"start", false, PrepareAdded, StepStart, ExpectStart, CheckStart},
        {"open", false, PrepareStarted, StepOpen, ExpectOpen, CheckOpen},
        {"second open", false, PrepareOpened, StepOpen, ExpectOpen, CheckSecondOpen},
        {"line change", false, PrepareLineChange, StepLineChange, ExpectLineChange,
         CheckLineChange},
        {"reload", false, PrepareReload, StepReload, ExpectReload, CheckReload},
        {"republish", false, PrepareRepublish, StepRepublish, ExpectRepublish, CheckRepublish},
        {"stop", false, PrepareOpened, StepStop, ExpectStop, CheckStop},
        {"restart", false, PrepareRestart, StepStart, ExpectStart, CheckStart},
        {"surprise removal", false, PrepareSurpriseRemoval, StepSurpriseRemoval,
         ExpectSurpriseRemoval, CheckSurpriseRemoval},
        {"remove", true, PrepareRemove, StepRemove, ExpectRemove, CheckRemove},
    };
    return scenarios;
}

} // namespace sweep
