/*
 * Symbolic links, device interfaces and power request delivery.
 */
#include "internal.h"

#include <algorithm>
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
/* Link name, folded, with its directory (\\GLOBAL??\\ or a session's), to target. */
std::map<WString, WString> links;
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

/*
 * DOS device names as Windows XP and later resolve them. \DosDevices is
 * \??, which a system thread sees as the global directory \GLOBAL??; in a
 * program's thread it is the logon session's own directory first, where a
 * link created there also goes, and then the global one. "Global" in \??
 * always names the global directory.
 */
const WString globalDirectory = u"\\GLOBAL??\\";
const WString sessionDirectory = u"\\SESSIONS\\0\\DOSDEVICES\\00000000-0001A2B3\\";

bool StripPrefix(const WString& folded, const WString& prefix, WString* rest)
{
    if (folded.compare(0, prefix.size(), prefix) != 0)
        return false;
    *rest = folded.substr(prefix.size());
    return true;
}

/* The directory entries a name may mean, in lookup order; empty when the
   name is not a DOS device name. */
std::vector<WString> DosDeviceCandidates(const WString& name)
{
    WString folded = Fold(name), rest;
    bool global = StripPrefix(folded, globalDirectory, &rest) ||
                  StripPrefix(folded, u"\\DOSDEVICES\\GLOBAL\\", &rest) ||
                  StripPrefix(folded, u"\\??\\GLOBAL\\", &rest);
    if (!global && !StripPrefix(folded, u"\\DOSDEVICES\\", &rest) &&
        !StripPrefix(folded, u"\\??\\", &rest))
        return {};
    if (rest.empty() || rest == u"GLOBAL" || rest.find(u'\\') != WString::npos)
        return {};
    if (global || !InProgramThread())
        return {globalDirectory + rest};
    return {sessionDirectory + rest, globalDirectory + rest};
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
    std::vector<WString> candidates = DosDeviceCandidates(FromCounted(SymbolicLinkName));
    if (candidates.empty())
        return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> guard(BenchLock());
    /* A new link goes into the first directory: the session's own, for a
       name without Global made in a program's thread. */
    if (!links.emplace(candidates.front(), FromCounted(DeviceName)).second)
        return STATUS_OBJECT_NAME_COLLISION;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    NTSTATUS status;
    if (CallFails(KernelCall::DeleteSymbolicLink, &status))
        return status;
    std::vector<WString> candidates = DosDeviceCandidates(FromCounted(SymbolicLinkName));
    std::lock_guard<std::mutex> guard(BenchLock());
    for (const WString& candidate : candidates)
        if (links.erase(candidate))
            return STATUS_SUCCESS;
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

/* Opens the link itself, never what it points to. */
extern "C" NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                             POBJECT_ATTRIBUTES ObjectAttributes)
{
    NTSTATUS status;
    if (CallFails(KernelCall::OpenSymbolicLink, &status))
        return status;
    if (!ObjectAttributes || ObjectAttributes->RootDirectory || !ObjectAttributes->ObjectName)
        return STATUS_OBJECT_NAME_INVALID;
    std::vector<WString> candidates =
        DosDeviceCandidates(FromCounted(ObjectAttributes->ObjectName));
    if (candidates.empty())
    {
        ReportViolation("ZwOpenSymbolicLinkObject: only DOS device names are emulated");
        return STATUS_OBJECT_NAME_INVALID;
    }
    {
        std::lock_guard<std::mutex> guard(BenchLock());
        auto found = std::find_if(candidates.begin(), candidates.end(),
                                  [](const WString& name) { return links.count(name) != 0; });
        if (found == candidates.end())
            return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *LinkHandle = NewHandle(u"", DesiredAccess, true);
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

    /* The caller frees it with RtlFreeUnicodeString. Windows does not
       promise a terminator: the buffer runs on past the name, so a driver
       that takes it for a terminated string gets another name. */
    size_t bytes = name.size() * sizeof(WCHAR);
    PWSTR buffer =
        (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes + 2 * sizeof(WCHAR), PoolTag("PnpI"));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buffer, name.c_str(), bytes);
    buffer[name.size()] = L'~';
    buffer[name.size() + 1] = L'\0';
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = (USHORT)bytes;
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
