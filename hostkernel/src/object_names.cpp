/*
 * Symbolic links, device interfaces and power request delivery.
 */
#include "internal.h"

#include <map>

namespace hk
{

namespace
{
struct Interface
{
    PDEVICE_OBJECT pdo;
    bool enabled;
};
std::map<WString, WString> links; /* link name, folded, to target */
std::map<WString, Interface> interfaces;

WString Fold(WString text)
{
    for (auto& c : text)
        if (c >= u'a' && c <= u'z')
            c = (char16_t)(c - u'a' + u'A');
    return text;
}

WString FromCounted(PCUNICODE_STRING text)
{
    if (text->Length % 2 || text->Length > text->MaximumLength)
        ReportViolation("malformed UNICODE_STRING");
    return WString((const char16_t*)text->Buffer, text->Length / sizeof(WCHAR));
}

bool ValidLinkName(const WString& name)
{
    for (const WString prefix : {u"\\DosDevices\\", u"\\??\\", u"\\GLOBAL??\\"})
        if (name.size() > prefix.size() && Fold(name.substr(0, prefix.size())) == Fold(prefix))
            return name.find(u'\\', prefix.size()) == WString::npos;
    return false;
}
} // namespace

std::map<WString, WString> SymbolicLinks()
{
    std::lock_guard<std::mutex> guard(BenchLock());
    return links;
}

bool InterfaceEnabled(const WString& name)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    auto found = interfaces.find(Fold(name));
    return found != interfaces.end() && found->second.enabled;
}

void ResetObjectNames()
{
    std::lock_guard<std::mutex> guard(BenchLock());
    links.clear();
    interfaces.clear();
}

} // namespace hk

using namespace hk;

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                         PUNICODE_STRING DeviceName)
{
    NTSTATUS status;
    if (CallFails(KernelCall::CreateSymbolicLink, &status))
        return status;
    WString name = FromCounted(SymbolicLinkName);
    if (!ValidLinkName(name))
        return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> guard(BenchLock());
    if (!links.emplace(Fold(name), FromCounted(DeviceName)).second)
        return STATUS_OBJECT_NAME_COLLISION;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    NTSTATUS status;
    if (CallFails(KernelCall::DeleteSymbolicLink, &status))
        return status;
    std::lock_guard<std::mutex> guard(BenchLock());
    if (!links.erase(Fold(FromCounted(SymbolicLinkName))))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                              const GUID* InterfaceClassGuid,
                                              PUNICODE_STRING ReferenceString,
                                              PUNICODE_STRING SymbolicLinkName)
{
    NTSTATUS status;
    if (CallFails(KernelCall::RegisterInterface, &status))
        return status;
    (void)ReferenceString;
    bool isPdo;
    WString instance;
    {
        std::lock_guard<std::mutex> guard(BenchLock());
        instance = InstancePathLocked(PhysicalDeviceObject, &isPdo);
    }
    if (!isPdo)
        return STATUS_INVALID_DEVICE_REQUEST;

    for (auto& c : instance)
        if (c == u'\\')
            c = u'#';
    char guid[40];
    const GUID& g = *InterfaceClassGuid;
    snprintf(guid, sizeof(guid), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
             (unsigned)g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
             g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    WString name = u"\\??\\" + instance + u"#";
    for (const char* p = guid; *p; p++)
        name.push_back((char16_t)*p);

    /* The caller frees it with RtlFreeUnicodeString. */
    size_t bytes = (name.size() + 1) * sizeof(WCHAR);
    PWSTR buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes, PoolTag("PnpI"));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buffer, name.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = (USHORT)(bytes - sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = (USHORT)bytes;

    std::lock_guard<std::mutex> guard(BenchLock());
    interfaces.emplace(Fold(name), Interface{PhysicalDeviceObject, false});
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    NTSTATUS status;
    if (CallFails(KernelCall::SetInterfaceState, &status))
        return status;
    std::lock_guard<std::mutex> guard(BenchLock());
    auto found = interfaces.find(Fold(FromCounted(SymbolicLinkName)));
    if (found == interfaces.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Enable && found->second.enabled)
        return STATUS_OBJECT_NAME_EXISTS;
    if (!Enable && !found->second.enabled)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    found->second.enabled = Enable;
    return STATUS_SUCCESS;
}

extern "C" VOID PoStartNextPowerIrp(PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        ReportViolation("PoStartNextPowerIrp for a request that is not a power request");
}

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return IoCallDriver(DeviceObject, Irp);
}
