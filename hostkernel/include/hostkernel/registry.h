/*
 * The bench's registry, symbolic links and device interfaces as tests see
 * them, and failure injection for the kernel calls that reach them.
 */
#pragma once

#include <hostkernel/bench.h>

#include <map>
#include <string>

namespace hk
{

using WString = std::u16string;

struct RegistryValue
{
    ULONG type = REG_NONE;
    Bytes data;
};

const WString SerialCommKey = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
/* Windows' COM database (value ComDB, bit n-1 for COMn). */
const WString ComArbiterKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\COM Name Arbiter";

void SetValue(const WString& key, const WString& name, ULONG type, const Bytes& data);
void SetDword(const WString& key, const WString& name, ULONG value);
/* REG_SZ with its terminator. */
void SetString(const WString& key, const WString& name, const WString& text);
void DeleteValue(const WString& key, const WString& name);
bool GetValue(const WString& key, const WString& name, RegistryValue* value = nullptr);
std::map<WString, RegistryValue> Values(const WString& key);
/* REG_SZ data as text, up to its first terminator. */
WString StringOf(const RegistryValue& value);
Bytes StringBytes(const WString& text, bool terminated = true);

/* A physical device object and its instance path (e.g. HID\VID_1234&PID_5678\1&0&0000). */
void RegisterPdo(PDEVICE_OBJECT pdo, const WString& instancePath);
void UnregisterPdo(PDEVICE_OBJECT pdo);
/* The PDO's hardware key (PLUGPLAY_REGKEY_DEVICE). */
WString DeviceKey(PDEVICE_OBJECT pdo);

/* Every DOS device link, named by its directory and folded to capitals, to
   its target: \\GLOBAL??\\COM5 for one every process and service can open;
   \\SESSIONS\\0\\DOSDEVICES\\<logon id>\\COM5 for one created without
   "Global" in a program's thread, seen only in that logon session. */
std::map<WString, WString> SymbolicLinks();
bool InterfaceEnabled(const WString& symbolicLinkName);
size_t OpenKeyHandles();

enum class KernelCall
{
    OpenDeviceKey,
    QueryValue,
    WriteRegistryValue,
    DeleteRegistryValue,
    CreateSymbolicLink,
    DeleteSymbolicLink,
    RegisterInterface,
    SetInterfaceState,
    OpenKey,
    CreateKey,
    EnumerateValue,
    SetValue,
    OpenSymbolicLink,
    OpenDriverKey,
    DeleteValue
};
/* The n-th call of that kind from now (1 = the next) fails with status;
   n = 0 makes every call fail until ClearCallFailures. */
void FailCall(KernelCall call, NTSTATUS status, unsigned n = 1);
void ClearCallFailures();
/* Calls of a kind made since reset (for sweeping every failure point). */
unsigned CallCount(KernelCall call);
/* The value names ZwQueryValueKey was asked for since reset, in order, also
   for calls that were made to fail: tells a sweep which read a failure
   point is. */
std::vector<WString> QueriedValueNames();

void ResetRegistry();

} // namespace hk
