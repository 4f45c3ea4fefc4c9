#include "device_setup.h"

#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>

const char StandInDeviceName[] = "VID_1234&PID_5678";
const char StandInHardwareId[] = "ROOT\\VID_1234&PID_5678";
const char CollectionHardwareId[] = "HID\\VID_1234&PID_5678";

namespace
{

const GUID HidClassGuid = {
    0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};

class DeviceList
{
  public:
    explicit DeviceList(DWORD flags)
        : set_(SetupDiGetClassDevsA(NULL, NULL, NULL, flags | DIGCF_ALLCLASSES))
    {
    }
    ~DeviceList()
    {
        if (set_ != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    HDEVINFO Set() const
    {
        return set_;
    }
    HDEVINFO Release()
    {
        HDEVINFO set = set_;
        set_ = INVALID_HANDLE_VALUE;
        return set;
    }

    /* Finds the next device, from index *next on, that lists hardwareId. */
    bool Find(const char* hardwareId, SP_DEVINFO_DATA* data, DWORD* next) const
    {
        if (set_ == INVALID_HANDLE_VALUE)
            return false;
        for (;; ++*next)
        {
            data->cbSize = sizeof(*data);
            if (!SetupDiEnumDeviceInfo(set_, *next, data))
                return false;
            for (const std::string& id : HardwareIds(*data))
            {
                if (_stricmp(id.c_str(), hardwareId) == 0)
                {
                    ++*next;
                    return true;
                }
            }
        }
    }

    std::vector<std::string> HardwareIds(SP_DEVINFO_DATA& data) const
    {
        std::vector<std::string> ids;
        char buffer[1024] = {};
        if (!SetupDiGetDeviceRegistryPropertyA(set_, &data, SPDRP_HARDWAREID, NULL,
                                               reinterpret_cast<BYTE*>(buffer), sizeof(buffer) - 2,
                                               NULL))
            return ids;
        for (const char* p = buffer; *p; p += std::strlen(p) + 1)
            ids.push_back(p);
        return ids;
    }

    std::string Property(SP_DEVINFO_DATA& data, DWORD property) const
    {
        char buffer[512] = {};
        if (!SetupDiGetDeviceRegistryPropertyA(set_, &data, property, NULL,
                                               reinterpret_cast<BYTE*>(buffer), sizeof(buffer) - 1,
                                               NULL))
            return "";
        return buffer;
    }

  private:
    HDEVINFO set_;
};

std::string DriversFolder()
{
    // The 32-bit host in a 64-bit prefix (plugging the device in again after
    // an unplug) reaches the native drivers folder through the Sysnative
    // alias; its own system folder is the 32-bit one.
    BOOL wow64 = FALSE;
    char folder[MAX_PATH];
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64)
    {
        GetSystemWindowsDirectoryA(folder, sizeof(folder));
        return std::string(folder) + "\\Sysnative\\drivers\\";
    }
    GetSystemDirectoryA(folder, sizeof(folder));
    return std::string(folder) + "\\drivers\\";
}

std::string FileName(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Folder(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

} // namespace

bool StageDriverPackage(const std::string& infPath, const std::string& sysPath)
{
    char staged[MAX_PATH] = {};
    if (!SetupCopyOEMInfA(infPath.c_str(), NULL, SPOST_PATH, 0, staged, sizeof(staged), NULL, NULL))
    {
        std::printf("SetupCopyOEMInfA(%s): error %lu\n", infPath.c_str(), GetLastError());
        return false;
    }
    // The staged INF has no source media to copy from, so the binary goes where
    // the INF's service entry points now.
    std::string target = DriversFolder() + FileName(sysPath);
    if (!CopyFileA(sysPath.c_str(), target.c_str(), FALSE))
    {
        std::printf("CopyFile(%s): error %lu\n", target.c_str(), GetLastError());
        return false;
    }
    std::printf("staged %s as %s\n", infPath.c_str(), staged);
    return true;
}

bool CreateRootDevice(HDEVINFO set, const GUID& classGuid, const char* name,
                      const char* description, SP_DEVINFO_DATA* data)
{
    data->cbSize = sizeof(*data);
    // A multi-string: the id, its terminator, and the list's terminator.
    std::string ids = std::string("ROOT\\") + name + '\0';
    if (!SetupDiCreateDeviceInfoA(set, name, &classGuid, description, NULL, DICD_GENERATE_ID, data))
    {
        std::printf("SetupDiCreateDeviceInfo(%s): error %lu\n", name, GetLastError());
    }
    else if (!SetupDiSetDeviceRegistryPropertyA(set, data, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(ids.c_str()),
                                                static_cast<DWORD>(ids.size() + 1)))
    {
        std::printf("SPDRP_HARDWAREID: error %lu\n", GetLastError());
    }
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, data))
    {
        std::printf("DIF_REGISTERDEVICE: error %lu\n", GetLastError());
    }
    else
    {
        return true;
    }
    return false;
}

bool PlugStandIn(const std::string& infPath, const std::string& manufacturer)
{
    std::string sys = Folder(infPath) + "\\vkstandin.sys";
    std::string target = DriversFolder() + "vkstandin.sys";
    // A second device finds the binary in place and still loaded.
    if (!CopyFileA(sys.c_str(), target.c_str(), FALSE) &&
        !(GetLastError() == ERROR_SHARING_VIOLATION &&
          GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES))
    {
        std::printf("CopyFile(vkstandin.sys): error %lu\n", GetLastError());
        return false;
    }

    HDEVINFO set = SetupDiCreateDeviceInfoList(&HidClassGuid, NULL);
    if (set == INVALID_HANDLE_VALUE)
    {
        std::printf("SetupDiCreateDeviceInfoList: error %lu\n", GetLastError());
        return false;
    }
    SP_DEVINFO_DATA data;
    bool done = CreateRootDevice(set, HidClassGuid, StandInDeviceName, NULL, &data);
    if (done && !manufacturer.empty())
    {
        HKEY key = SetupDiCreateDevRegKeyA(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
        if (key == INVALID_HANDLE_VALUE || !SetStringValue(key, "Manufacturer", manufacturer))
        {
            std::printf("stand-in device key: error %lu\n", GetLastError());
            done = false;
        }
        if (key != INVALID_HANDLE_VALUE)
            RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!done)
        return false;

    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesA(NULL, StandInHardwareId, infPath.c_str(),
                                            INSTALLFLAG_FORCE, &reboot))
    {
        std::printf("UpdateDriverForPlugAndPlayDevices: error %lu\n", GetLastError());
        return false;
    }
    return true;
}

bool UnplugStandIn()
{
    DeviceList list(0);
    SP_DEVINFO_DATA data;
    DWORD next = 0;
    bool removed = false;
    while (list.Find(StandInHardwareId, &data, &next))
    {
        if (!SetupDiCallClassInstaller(DIF_REMOVE, list.Set(), &data))
        {
            std::printf("DIF_REMOVE: error %lu\n", GetLastError());
            return false;
        }
        removed = true;
    }
    return removed;
}

DeviceFacts FindDevice(const char* hardwareId)
{
    DeviceFacts facts;
    DeviceList list(DIGCF_PRESENT);
    SP_DEVINFO_DATA data;
    DWORD next = 0;
    if (!list.Find(hardwareId, &data, &next))
        return facts;
    facts.found = true;
    char instance[MAX_PATH] = {};
    SetupDiGetDeviceInstanceIdA(list.Set(), &data, instance, sizeof(instance), NULL);
    facts.instanceId = instance;
    facts.hardwareIds = list.HardwareIds(data);
    facts.service = list.Property(data, SPDRP_SERVICE);
    facts.friendlyName = list.Property(data, SPDRP_FRIENDLYNAME);
    return facts;
}

DeviceFacts WaitForDevice(const char* hardwareId, const char* service, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        DeviceFacts facts = FindDevice(hardwareId);
        bool bound =
            facts.found && (service == NULL || _stricmp(facts.service.c_str(), service) == 0);
        if (bound || GetTickCount() - start > timeoutMs)
            return facts;
        Sleep(50);
    }
}

HDEVINFO OpenPresentDevice(const char* hardwareId, SP_DEVINFO_DATA* data)
{
    DeviceList list(DIGCF_PRESENT);
    DWORD next = 0;
    return list.Find(hardwareId, data, &next) ? list.Release() : INVALID_HANDLE_VALUE;
}

HKEY OpenDeviceKey(const char* hardwareId)
{
    DeviceList list(DIGCF_PRESENT);
    SP_DEVINFO_DATA data;
    DWORD next = 0;
    if (!list.Find(hardwareId, &data, &next))
        return NULL;
    HKEY key =
        SetupDiOpenDevRegKey(list.Set(), &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
    return key == INVALID_HANDLE_VALUE ? NULL : key;
}

bool SetDwordValue(HKEY key, const char* name, DWORD value)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS;
}

bool SetStringValue(HKEY key, const char* name, const std::string& value)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool DeleteValue(HKEY key, const char* name)
{
    return RegDeleteValueA(key, name) == ERROR_SUCCESS;
}

bool ReadStringValue(HKEY key, const char* name, std::string* value)
{
    char buffer[512] = {};
    DWORD type = 0;
    DWORD size = sizeof(buffer) - 1;
    if (RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    *value = buffer;
    return true;
}

bool ReadDwordValue(HKEY key, const char* name, DWORD* value)
{
    DWORD type = 0;
    DWORD size = sizeof(*value);
    return RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE*>(value), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD;
}

HKEY CreateSerialCommKey()
{
    // Wine keeps this key volatile; it accepts values only when opened so.
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, NULL,
                        REG_OPTION_VOLATILE, KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS)
        return NULL;
    return key;
}

std::vector<std::pair<std::string, std::string>> ReadSerialComm()
{
    std::vector<std::pair<std::string, std::string>> values;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return values;
    for (DWORD index = 0;; ++index)
    {
        char name[512];
        BYTE data[512];
        DWORD nameSize = sizeof(name);
        DWORD dataSize = sizeof(data) - 1;
        DWORD type = 0;
        if (RegEnumValueA(key, index, name, &nameSize, NULL, &type, data, &dataSize) !=
            ERROR_SUCCESS)
            break;
        data[dataSize] = 0;
        values.emplace_back(name, reinterpret_cast<char*>(data));
    }
    RegCloseKey(key);
    return values;
}
