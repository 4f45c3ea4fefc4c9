/*
 * An in-memory registry with the kernel's query semantics and access
 * checks: a handle opened without KEY_QUERY_VALUE cannot be queried, as
 * Wine enforces for kernel callers too.
 */
#include <hostkernel/registry.h>

#include "internal.h"

#include <algorithm>
#include <unordered_map>

namespace hk
{

namespace
{
struct Key
{
    std::map<WString, RegistryValue> values; /* names folded to upper case */
};
struct Handle
{
    WString key;
    ACCESS_MASK access;
    bool link = false; /* a symbolic link, not a key */
};
struct Failure
{
    NTSTATUS status;
    unsigned remaining; /* 0: every call */
};

std::map<WString, Key> keys; /* paths folded to upper case */
std::unordered_map<PDEVICE_OBJECT, WString> pdos;
std::map<uintptr_t, Handle> handles;
uintptr_t nextHandle = 0x100;
std::map<KernelCall, Failure> failures;
std::map<KernelCall, unsigned> callCounts;
std::vector<WString> queriedValueNames;

WString Fold(WString text)
{
    for (auto& c : text)
        if (c >= u'a' && c <= u'z')
            c = (char16_t)(c - u'a' + u'A');
    return text;
}

WString FromWide(PCWSTR text)
{
    return text ? WString((const char16_t*)text, HkWcslen(text)) : WString();
}

WString FromCounted(PCUNICODE_STRING text)
{
    return WString((const char16_t*)text->Buffer, text->Length / sizeof(WCHAR));
}

/* A key exists once created or written, and so does every key above it. */
bool KeyExistsLocked(const WString& folded)
{
    auto next = keys.lower_bound(folded);
    return next != keys.end() && (next->first == folded ||
                                  next->first.compare(0, folded.size() + 1, folded + u"\\") == 0);
}

const std::map<WString, RegistryValue> noValues;

const std::map<WString, RegistryValue>& ValuesLocked(const WString& folded)
{
    auto found = keys.find(folded);
    return found == keys.end() ? noValues : found->second.values;
}
} // namespace

HANDLE NewHandle(const WString& key, ACCESS_MASK access, bool link)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    uintptr_t handle = nextHandle += 4;
    handles[handle] = Handle{key, access, link};
    return (HANDLE)handle;
}

/* Counts the call and tells whether it is to fail. */
bool CallFails(KernelCall call, NTSTATUS* status)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    callCounts[call]++;
    auto found = failures.find(call);
    if (found == failures.end())
        return false;
    Failure& failure = found->second;
    if (failure.remaining == 0)
    {
        *status = failure.status;
        return true;
    }
    if (--failure.remaining == 0)
    {
        *status = failure.status;
        failures.erase(found);
        return true;
    }
    return false;
}

void FailCall(KernelCall call, NTSTATUS status, unsigned n)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    failures[call] = Failure{status, n};
}

void ClearCallFailures()
{
    std::lock_guard<std::mutex> guard(BenchLock());
    failures.clear();
}

unsigned CallCount(KernelCall call)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    return callCounts[call];
}

std::vector<WString> QueriedValueNames()
{
    std::lock_guard<std::mutex> guard(BenchLock());
    return queriedValueNames;
}

void SetValue(const WString& key, const WString& name, ULONG type, const Bytes& data)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    keys[Fold(key)].values[Fold(name)] = RegistryValue{type, data};
}

void SetDword(const WString& key, const WString& name, ULONG value)
{
    SetValue(key, name, REG_DWORD, Word(value));
}

Bytes StringBytes(const WString& text, bool terminated)
{
    Bytes bytes;
    for (char16_t c : text)
    {
        bytes.push_back((uint8_t)(c & 0xFF));
        bytes.push_back((uint8_t)(c >> 8));
    }
    if (terminated)
        bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

void SetString(const WString& key, const WString& name, const WString& text)
{
    SetValue(key, name, REG_SZ, StringBytes(text));
}

void DeleteValue(const WString& key, const WString& name)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    auto found = keys.find(Fold(key));
    if (found != keys.end())
        found->second.values.erase(Fold(name));
}

bool GetValue(const WString& key, const WString& name, RegistryValue* value)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    auto& values = ValuesLocked(Fold(key));
    auto found = values.find(Fold(name));
    if (found == values.end())
        return false;
    if (value)
        *value = found->second;
    return true;
}

std::map<WString, RegistryValue> Values(const WString& key)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    return ValuesLocked(Fold(key));
}

WString StringOf(const RegistryValue& value)
{
    WString text;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2)
    {
        char16_t c = (char16_t)(value.data[i] | (value.data[i + 1] << 8));
        if (!c)
            break;
        text.push_back(c);
    }
    return text;
}

void RegisterPdo(PDEVICE_OBJECT pdo, const WString& instancePath)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    pdos[pdo] = instancePath;
}

void UnregisterPdo(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    pdos.erase(pdo);
}

WString DeviceKey(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + pdos.at(pdo) +
           u"\\Device Parameters";
}

WString InstancePathLocked(PDEVICE_OBJECT pdo, bool* found)
{
    auto entry = pdos.find(pdo);
    *found = entry != pdos.end();
    return *found ? entry->second : WString();
}

size_t OpenKeyHandles()
{
    std::lock_guard<std::mutex> guard(BenchLock());
    return handles.size();
}

void ResetRegistry()
{
    std::lock_guard<std::mutex> guard(BenchLock());
    keys.clear();
    handles.clear();
    failures.clear();
    callCounts.clear();
    queriedValueNames.clear();
}

} // namespace hk

using namespace hk;

static bool RegistryCallFails(KernelCall call, NTSTATUS* status);

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                            ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey)
{
    NTSTATUS status;
    if (CallFails(KernelCall::OpenDeviceKey, &status))
        return status;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("registry opened above PASSIVE_LEVEL");
    if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE)
        return STATUS_INVALID_PARAMETER;
    WString instance;
    {
        std::lock_guard<std::mutex> guard(BenchLock());
        bool isPdo;
        instance = InstancePathLocked(DeviceObject, &isPdo);
        if (!isPdo)
            return STATUS_INVALID_DEVICE_REQUEST;
    }
    *DevInstRegKey = NewHandle(Fold(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" +
                                    instance + u"\\Device Parameters"),
                               DesiredAccess, false);
    return STATUS_SUCCESS;
}

/*
 * DriverRegKeyPersistentState is the service key's State subkey, created
 * at its first open (Windows 10 1803 on). The parameters key is the
 * installer's, and the shared state key is not emulated.
 */
extern "C" NTSTATUS IoOpenDriverRegistryKey(PDRIVER_OBJECT DriverObject, ULONG RegKeyType,
                                            ACCESS_MASK DesiredAccess, ULONG Flags,
                                            PHANDLE DriverRegKey)
{
    NTSTATUS status;
    if (RegistryCallFails(KernelCall::OpenDriverKey, &status))
        return status;
    if (RegKeyType != 1 || Flags != 0)
    {
        ReportViolation("IoOpenDriverRegistryKey: only DriverRegKeyPersistentState is emulated");
        return STATUS_INVALID_PARAMETER;
    }
    WString service = FromCounted(&DriverObject->DriverName);
    service = service.substr(service.rfind(u'\\') + 1);
    WString path =
        Fold(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service + u"\\State");
    {
        std::lock_guard<std::mutex> guard(BenchLock());
        keys[path];
    }
    *DriverRegKey = NewHandle(path, DesiredAccess, false);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwClose(HANDLE Handle)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    if (!handles.erase((uintptr_t)Handle))
    {
        ReportViolation("ZwClose of a handle that is not open");
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS FillFullInformation(const WString& name, const RegistryValue& value,
                                    PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
static NTSTATUS KeyOfHandleLocked(HANDLE handle, ACCESS_MASK needed, WString* key);

extern "C" NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                    PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> guard(BenchLock());
        queriedValueNames.push_back(FromCounted(ValueName));
    }
    if (CallFails(KernelCall::QueryValue, &status))
        return status;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("registry queried above PASSIVE_LEVEL");

    std::unique_lock<std::mutex> guard(BenchLock());
    WString key;
    if (!NT_SUCCESS(status = KeyOfHandleLocked(KeyHandle, KEY_QUERY_VALUE, &key)))
        return status;
    if (KeyValueInformationClass != KeyValueFullInformation)
    {
        guard.unlock();
        ReportViolation("ZwQueryValueKey: only KeyValueFullInformation is emulated");
        return STATUS_INVALID_PARAMETER;
    }
    auto& values = ValuesLocked(key);
    WString name = FromCounted(ValueName);
    auto found = values.find(Fold(name));
    if (found == values.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return FillFullInformation(name, found->second, KeyValueInformation, Length, ResultLength);
}

/* KEY_VALUE_FULL_INFORMATION with the kernel's too-small and overflow
   statuses: the fixed part and as much of the name as fits on overflow. */
static NTSTATUS FillFullInformation(const WString& name, const RegistryValue& value,
                                    PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    ULONG nameBytes = (ULONG)(name.size() * sizeof(WCHAR));
    ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
    ULONG dataOffset = (fixed + nameBytes + 3) & ~3u;
    ULONG total = dataOffset + (ULONG)value.data.size();
    *ResultLength = total;
    if (Length < fixed)
        return STATUS_BUFFER_TOO_SMALL;

    auto* info = (PKEY_VALUE_FULL_INFORMATION)KeyValueInformation;
    info->TitleIndex = 0;
    info->Type = value.type;
    info->DataOffset = dataOffset;
    info->DataLength = (ULONG)value.data.size();
    info->NameLength = nameBytes;
    ULONG nameRoom = std::min(nameBytes, Length - fixed);
    memcpy(info->Name, name.data(), nameRoom);
    if (Length < total)
        return STATUS_BUFFER_OVERFLOW;
    if (!value.data.empty())
        memcpy((PUCHAR)info + dataOffset, value.data.data(), value.data.size());
    return STATUS_SUCCESS;
}

static WString RelativePath(ULONG RelativeTo, PCWSTR Path)
{
    if (RelativeTo == RTL_REGISTRY_DEVICEMAP)
        return u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\" + FromWide(Path);
    if (RelativeTo == RTL_REGISTRY_ABSOLUTE)
        return FromWide(Path);
    ReportViolation("registry path relative to an unemulated root");
    return FromWide(Path);
}

extern "C" NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                          ULONG ValueType, PVOID ValueData, ULONG ValueLength)
{
    NTSTATUS status;
    if (CallFails(KernelCall::WriteRegistryValue, &status))
        return status;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("registry written above PASSIVE_LEVEL");
    const uint8_t* data = (const uint8_t*)ValueData;
    SetValue(RelativePath(RelativeTo, Path), FromWide(ValueName), ValueType,
             Bytes(data, data + ValueLength));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    NTSTATUS status;
    if (CallFails(KernelCall::DeleteRegistryValue, &status))
        return status;
    WString key = RelativePath(RelativeTo, Path);
    if (!GetValue(key, FromWide(ValueName)))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    DeleteValue(key, FromWide(ValueName));
    return STATUS_SUCCESS;
}

/* Counts and maybe fails the call, and checks its IRQL. */
static bool RegistryCallFails(KernelCall call, NTSTATUS* status)
{
    if (CallFails(call, status))
        return true;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("registry called above PASSIVE_LEVEL");
    return false;
}

/* The folded key path of an absolute name (no root directory). */
static NTSTATUS KeyPathOf(POBJECT_ATTRIBUTES attributes, WString* path)
{
    if (!attributes || attributes->RootDirectory || !attributes->ObjectName)
        return STATUS_OBJECT_NAME_INVALID;
    *path = Fold(FromCounted(attributes->ObjectName));
    bool valid = !path->empty() && path->front() == u'\\' && path->back() != u'\\';
    return valid ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

/* The key a handle opened with the access needed; with the bench lock held. */
static NTSTATUS KeyOfHandleLocked(HANDLE handle, ACCESS_MASK needed, WString* key)
{
    auto found = handles.find((uintptr_t)handle);
    if (found == handles.end())
        return STATUS_INVALID_HANDLE;
    if (found->second.link)
        return STATUS_OBJECT_TYPE_MISMATCH;
    if (!(found->second.access & needed))
        return STATUS_ACCESS_DENIED;
    *key = found->second.key;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes)
{
    NTSTATUS status;
    WString path;
    if (RegistryCallFails(KernelCall::OpenKey, &status) ||
        !NT_SUCCESS(status = KeyPathOf(ObjectAttributes, &path)))
        return status;
    {
        std::lock_guard<std::mutex> guard(BenchLock());
        if (!KeyExistsLocked(path))
            return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *KeyHandle = NewHandle(path, DesiredAccess, false);
    return STATUS_SUCCESS;
}

/* Creates one level: the parent must exist. */
extern "C" NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes, ULONG, PUNICODE_STRING, ULONG,
                                PULONG Disposition)
{
    NTSTATUS status;
    WString path;
    if (RegistryCallFails(KernelCall::CreateKey, &status) ||
        !NT_SUCCESS(status = KeyPathOf(ObjectAttributes, &path)))
        return status;
    {
        std::lock_guard<std::mutex> guard(BenchLock());
        bool existed = KeyExistsLocked(path);
        if (!existed && !KeyExistsLocked(path.substr(0, path.rfind(u'\\'))))
            return STATUS_OBJECT_NAME_NOT_FOUND;
        keys[path];
        if (Disposition)
            *Disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    }
    *KeyHandle = NewHandle(path, DesiredAccess, false);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length,
                                        PULONG ResultLength)
{
    NTSTATUS status;
    WString key;
    if (RegistryCallFails(KernelCall::EnumerateValue, &status))
        return status;
    if (KeyValueInformationClass != KeyValueFullInformation)
        ReportViolation("ZwEnumerateValueKey: only KeyValueFullInformation is emulated");
    std::lock_guard<std::mutex> guard(BenchLock());
    if (!NT_SUCCESS(status = KeyOfHandleLocked(KeyHandle, KEY_QUERY_VALUE, &key)))
        return status;
    auto& values = ValuesLocked(key);
    if (Index >= values.size())
        return STATUS_NO_MORE_ENTRIES;
    auto entry = std::next(values.begin(), Index);
    return FillFullInformation(entry->first, entry->second, KeyValueInformation, Length,
                               ResultLength);
}

extern "C" NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type,
                                  PVOID Data, ULONG DataSize)
{
    NTSTATUS status;
    WString key;
    if (RegistryCallFails(KernelCall::SetValue, &status))
        return status;
    std::lock_guard<std::mutex> guard(BenchLock());
    if (!NT_SUCCESS(status = KeyOfHandleLocked(KeyHandle, KEY_SET_VALUE, &key)))
        return status;
    const uint8_t* data = (const uint8_t*)Data;
    keys[key].values[Fold(FromCounted(ValueName))] =
        RegistryValue{Type, Bytes(data, data + DataSize)};
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    NTSTATUS status;
    WString key;
    if (RegistryCallFails(KernelCall::DeleteValue, &status))
        return status;
    std::lock_guard<std::mutex> guard(BenchLock());
    if (!NT_SUCCESS(status = KeyOfHandleLocked(KeyHandle, KEY_SET_VALUE, &key)))
        return status;
    return keys[key].values.erase(Fold(FromCounted(ValueName))) ? STATUS_SUCCESS
                                                                : STATUS_OBJECT_NAME_NOT_FOUND;
}
