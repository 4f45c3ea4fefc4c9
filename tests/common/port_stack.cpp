#include "port_stack.h"

namespace hk
{

void StoreSettings(const WString& key, const WString& portName)
{
    SetString(key, u"PortName", portName);
    SetDword(key, u"KeyFunc", 1);
    SetDword(key, u"PttFunc", 2);
    SetDword(key, u"KeyLogic", 0);
    SetDword(key, u"PttLogic", 0);
}

PDRIVER_OBJECT LoadPortDriver(NTSTATUS* status, bool serviceKey)
{
    PDRIVER_OBJECT driver = CreateDriverObject(L"\\Driver\\vkserial");
    UNICODE_STRING path;
    RtlInitUnicodeString(&path,
                         L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vkserial");
    NTSTATUS entered = DriverEntry(driver, serviceKey ? &path : nullptr);
    if (status)
        *status = entered;
    return driver;
}

PDEVICE_OBJECT AddPort(PDRIVER_OBJECT driver, VelkorHidCollection& hid, NTSTATUS* status)
{
    NTSTATUS added = CallAddDevice(driver, hid.Pdo());
    if (status)
        *status = added;
    PDEVICE_OBJECT top = TopOfStack(hid.Pdo());
    return top != hid.Pdo() ? top : nullptr;
}

std::vector<WString> LinkNames()
{
    std::vector<WString> names;
    for (auto& link : SymbolicLinks())
        names.push_back(link.first);
    return names;
}

WString InterfaceNameOf(PDEVICE_OBJECT port)
{
    const UNICODE_STRING& name = ((PPORT_EXTENSION)port->DeviceExtension)->InterfaceName;
    return WString((const char16_t*)name.Buffer, name.Length / sizeof(WCHAR));
}

std::string Narrow(const WString& text)
{
    std::string narrow;
    for (char16_t c : text)
        narrow.push_back(c < 0x80 ? (char)c : '?');
    return narrow;
}

/* ---- The stack ------------------------------------------------------------ */

NTSTATUS PortStack::Build(ULONG ioFlags, bool serviceKey)
{
    hid = std::make_unique<VelkorHidCollection>(ioFlags);
    StoreSettings(Key());
    NTSTATUS status;
    driver = LoadPortDriver(&status, serviceKey);
    return status;
}

NTSTATUS PortStack::Add()
{
    NTSTATUS status;
    port = AddPort(driver, *hid, &status);
    if (port)
        interfaceName_ = InterfaceNameOf(port);
    return status;
}

NTSTATUS PortStack::Start()
{
    return SendPnp(port, IRP_MN_START_DEVICE);
}

NTSTATUS PortStack::Remove()
{
    NTSTATUS status = SendPnp(port, IRP_MN_REMOVE_DEVICE);
    if (DeviceObjectExists(port))
        ReportViolation("the port's device object outlived its removal");
    port = nullptr;
    return status;
}

void PortStack::Unload()
{
    hid.reset();
    if (!driver)
        return;
    /* A device left on the driver would point at a freed driver object. */
    if (driver->DeviceObject)
        ReportViolation("a device object is left after removal");
    else
        DeleteDriverObject(driver);
    driver = nullptr;
}

WString PortStack::Key() const
{
    return DeviceKey(hid->Pdo());
}

void PortStack::SetMapping(ULONG keyFunc, ULONG pttFunc, bool keyInverted, bool pttInverted)
{
    Ext()->KeyFunc = keyFunc;
    Ext()->PttFunc = pttFunc;
    Ext()->KeyLogic = keyInverted;
    Ext()->PttLogic = pttInverted;
}

/* ---- What is left --------------------------------------------------------- */

Leftovers TakeLeftovers()
{
    return {TakeViolations(), OutstandingAllocations(), LiveIrpCount(),
            OpenKeyHandles(), SymbolicLinks(),          Values(SerialCommKey)};
}

std::vector<std::string> Leftovers::Problems(size_t linksAllowed, size_t valuesAllowed) const
{
    std::vector<std::string> problems;
    for (const std::string& violation : violations)
        problems.push_back("rule violated: " + violation);
    if (poolBlocks)
        problems.push_back(std::to_string(poolBlocks) + " pool block(s) not freed");
    if (requests)
        problems.push_back(std::to_string(requests) + " request(s) never finished");
    if (keyHandles)
        problems.push_back(std::to_string(keyHandles) + " registry key handle(s) not closed");
    if (links.size() > linksAllowed)
        for (auto& link : links)
            problems.push_back("link " + Narrow(link.first) + " left behind");
    if (serialComm.size() > valuesAllowed)
        for (auto& value : serialComm)
            problems.push_back("SERIALCOMM value for " + Narrow(StringOf(value.second)) +
                               " left behind");
    return problems;
}

} // namespace hk
