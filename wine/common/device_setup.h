/*
 * Installing, finding and removing devices the way an installer would:
 * SetupAPI and newdev only.
 */
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

/* The stand-in is created as ROOT\<this>\0000; Wine names its collection HID\<this>\0000. */
extern const char StandInDeviceName[];
extern const char StandInHardwareId[];    /* ROOT\VID_1234&PID_5678 */
extern const char CollectionHardwareId[]; /* HID\VID_1234&PID_5678 */

struct DeviceFacts
{
    bool found = false;
    std::string instanceId;
    std::vector<std::string> hardwareIds;
    std::string service;
    std::string friendlyName;
};

/* Puts the function driver's INF where Plug and Play looks and its binary where the INF points. */
bool StageDriverPackage(const std::string& infPath, const std::string& sysPath);

/* Creates the stand-in's root device, stores its manufacturer string (if given) in the device
   key, and installs the stand-in driver on it. */
bool PlugStandIn(const std::string& infPath, const std::string& manufacturer);

/* Creates ROOT\<name> in set (of classGuid) with a generated instance and registers it, as an
   installer does; false, with the failed step printed, if any step fails. */
bool CreateRootDevice(HDEVINFO set, const GUID& classGuid, const char* name,
                      const char* description, SP_DEVINFO_DATA* data);

/* DIF_REMOVE on the stand-in's root device: what Windows does when the device is unplugged. */
bool UnplugStandIn();

/* The first present device with the given hardware id. */
DeviceFacts FindDevice(const char* hardwareId);

/* Polls until a present device with that hardware id is bound to a service (or timeout). */
DeviceFacts WaitForDevice(const char* hardwareId, const char* service, DWORD timeoutMs);

/* The present devices, with the first that lists hardwareId in *data; INVALID_HANDLE_VALUE
   when none does. The caller destroys the set. */
HDEVINFO OpenPresentDevice(const char* hardwareId, SP_DEVINFO_DATA* data);

/* Opens the device key (PLUGPLAY_REGKEY_DEVICE / DIREG_DEV) of the first present device with
   that hardware id. */
HKEY OpenDeviceKey(const char* hardwareId);

bool SetDwordValue(HKEY key, const char* name, DWORD value);
bool SetStringValue(HKEY key, const char* name, const std::string& value);
bool DeleteValue(HKEY key, const char* name);
bool ReadStringValue(HKEY key, const char* name, std::string* value);
bool ReadDwordValue(HKEY key, const char* name, DWORD* value);

/* HKLM\HARDWARE\DEVICEMAP\SERIALCOMM opened to add values, or NULL. */
HKEY CreateSerialCommKey();

/* Values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM as name -> data. */
std::vector<std::pair<std::string, std::string>> ReadSerialComm();
