#include "hid_access.h"

extern "C"
{
#include <hidsdi.h>
}
#include <setupapi.h>

#include <cstring>
#include <vector>

std::string FindHidInterfacePath(const std::string& instancePrefix)
{
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set =
        SetupDiGetClassDevsA(&hidGuid, NULL, NULL, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return "";
    std::string found;
    SP_DEVICE_INTERFACE_DATA interfaceData = {sizeof(interfaceData)};
    for (DWORD index = 0;
         found.empty() && SetupDiEnumDeviceInterfaces(set, NULL, &hidGuid, index, &interfaceData);
         ++index)
    {
        std::vector<BYTE> buffer(1024);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(*detail);
        SP_DEVINFO_DATA device = {sizeof(device)};
        if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail,
                                              static_cast<DWORD>(buffer.size()), NULL, &device))
            continue;
        char instance[MAX_PATH] = {};
        SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof(instance), NULL);
        if (_strnicmp(instance, instancePrefix.c_str(), instancePrefix.size()) == 0)
            found = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

std::string WaitForHidInterfacePath(const std::string& instancePrefix, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        std::string path = FindHidInterfacePath(instancePrefix);
        if (!path.empty() || GetTickCount() - start > timeoutMs)
            return path;
        Sleep(50);
    }
}

HANDLE OpenHidCollection(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
}

std::string ReadManufacturerString(HANDLE collection, bool* succeeded)
{
    wchar_t text[128] = {};
    *succeeded = HidD_GetManufacturerString(collection, text, sizeof(text)) != FALSE;
    std::string narrow;
    for (const wchar_t* p = text; *p; ++p)
        narrow += *p < 0x80 ? static_cast<char>(*p) : '?';
    return narrow;
}
