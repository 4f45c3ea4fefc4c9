#include "Win32Calls.h"

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <winioctl.h>
#include <shellapi.h>

namespace vkprop
{

// The page logic spells these numbers itself so that it builds on the host.
static_assert(kRegSz == REG_SZ && kRegDword == REG_DWORD);
static_assert(kSpdrpDeviceDesc == SPDRP_DEVICEDESC && kSpdrpFriendlyName == SPDRP_FRIENDLYNAME);
static_assert(kDicsFlagGlobal == DICS_FLAG_GLOBAL && kDiregDev == DIREG_DEV);
static_assert(kKeyReadWrite == (KEY_READ | KEY_WRITE));
static_assert(kGenericReadWrite == (GENERIC_READ | GENERIC_WRITE));
static_assert(kOpenExisting == OPEN_EXISTING && kMbOk == MB_OK);
static_assert(kErrorSuccess == ERROR_SUCCESS);
static_assert(KEY_QUERY_VALUE == 1);
static_assert(IOCTL_KEYER_RELOAD_SETTINGS ==
              static_cast<std::uint32_t>(CTL_CODE(0x9C43, 0x800, METHOD_BUFFERED,
                                                  FILE_ANY_ACCESS)));

bool SetupApiDeviceCalls::OpenDevRegKey(const PageContext& device, std::uint32_t scope,
                                        std::uint32_t hwProfile, std::uint32_t keyType,
                                        std::uint32_t access, KeyRef& key)
{
    HKEY opened = SetupDiOpenDevRegKey(device.DeviceInfoSet, device.DeviceInfoData, scope,
                                       hwProfile, keyType, access);
    if (opened == INVALID_HANDLE_VALUE)
        return false;
    key = opened;
    return true;
}

void SetupApiDeviceCalls::CloseKey(KeyRef key)
{
    RegCloseKey(static_cast<HKEY>(key));
}

bool SetupApiDeviceCalls::GetDeviceRegistryProperty(const PageContext& device,
                                                    std::uint32_t property, char* buffer,
                                                    std::uint32_t bufferSize)
{
    return SetupDiGetDeviceRegistryPropertyA(device.DeviceInfoSet, device.DeviceInfoData, property,
                                             nullptr, reinterpret_cast<BYTE*>(buffer), bufferSize,
                                             nullptr) != FALSE;
}

bool SetupApiDeviceCalls::SetDeviceRegistryProperty(const PageContext& device,
                                                    std::uint32_t property, const char* data,
                                                    std::uint32_t size)
{
    return SetupDiSetDeviceRegistryPropertyA(device.DeviceInfoSet, device.DeviceInfoData, property,
                                             reinterpret_cast<const BYTE*>(data), size) != FALSE;
}

long SetupApiDeviceCalls::QueryValue(KeyRef key, const char* name, void* buffer,
                                     std::uint32_t& size)
{
    DWORD dataSize = size;
    const LONG result = RegQueryValueExA(static_cast<HKEY>(key), name, nullptr, nullptr,
                                         static_cast<BYTE*>(buffer), &dataSize);
    size = dataSize;
    return result;
}

long SetupApiDeviceCalls::SetValue(KeyRef key, const char* name, std::uint32_t type,
                                   const void* data, std::uint32_t size)
{
    return RegSetValueExA(static_cast<HKEY>(key), name, 0, type, static_cast<const BYTE*>(data),
                          size);
}

void SetupApiDeviceCalls::SubstituteEnvironment(char* buffer, std::uint32_t bufferSize)
{
    DoEnvironmentSubstA(buffer, bufferSize);
}

std::string SetupApiDeviceCalls::InstanceId(const PageContext& device)
{
    char id[MAX_DEVICE_ID_LEN];
    if (!SetupDiGetDeviceInstanceIdA(device.DeviceInfoSet, device.DeviceInfoData, id, sizeof id,
                                     nullptr))
        return std::string();
    return id;
}

bool Win32PortMapCalls::OpenKey(const char* path, std::uint32_t access, KeyRef& key)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &opened) != ERROR_SUCCESS)
        return false;
    key = opened;
    return true;
}

long Win32PortMapCalls::EnumValue(KeyRef key, std::uint32_t index, char* name,
                                  std::uint32_t& nameSize, std::uint32_t& type, void* data,
                                  std::uint32_t& dataSize)
{
    DWORD nameLength = nameSize;
    DWORD dataLength = dataSize;
    DWORD valueType = 0;
    const LONG result = RegEnumValueA(static_cast<HKEY>(key), index, name, &nameLength, nullptr,
                                      &valueType, static_cast<BYTE*>(data), &dataLength);
    nameSize = nameLength;
    dataSize = dataLength;
    type = valueType;
    return result;
}

void Win32PortMapCalls::CloseKey(KeyRef key)
{
    RegCloseKey(static_cast<HKEY>(key));
}

bool Win32PortMapCalls::DosNameExists(const char* name)
{
    // A target too long for the buffer still shows that the name exists.
    char target[MAX_PATH];
    return QueryDosDeviceA(name, target, sizeof target) != 0 ||
           GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

bool Win32PortIoCalls::CreatePortFile(const char* name, std::uint32_t access,
                                      std::uint32_t shareMode, std::uint32_t disposition,
                                      std::uint32_t flags, FileRef& file)
{
    HANDLE opened = CreateFileA(name, access, shareMode, nullptr, disposition, flags, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return false;
    file = opened;
    return true;
}

bool Win32PortIoCalls::SendDeviceControl(FileRef file, std::uint32_t code, void* input,
                                         std::uint32_t inputSize, void* output,
                                         std::uint32_t outputSize, std::uint32_t* bytesReturned)
{
    DWORD returned = 0;
    const BOOL ok =
        DeviceIoControl(file, code, input, inputSize, output, outputSize, &returned, nullptr);
    if (bytesReturned)
        *bytesReturned = returned;
    return ok != FALSE;
}

void Win32PortIoCalls::CloseFile(FileRef file)
{
    CloseHandle(file);
}

void Win32PortIoCalls::ShowMessageBox(WindowRef owner, const char* text, const char* caption,
                                      std::uint32_t type)
{
    MessageBoxA(static_cast<HWND>(owner), text, caption, type);
}

} // namespace vkprop
