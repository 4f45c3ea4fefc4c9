// The 256 COM port rows of the port box, their marks, and the way back from
// the box's text to the name that is stored.
#pragma once

#include "PlatformValues.h"

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vkprop
{

constexpr int kPortRowCount = 256;

// Flag n-1 is set when port n is named in the system's serial port map.
using PortsInUse = std::bitset<kPortRowCount>;

// One value of HARDWARE\DEVICEMAP\SERIALCOMM as the enumeration returns it.
struct PortMapValue
{
    std::uint32_t type;
    std::string data;
};

// The registry and DOS device calls of the scan of the names in use, in the
// shape of the ANSI functions behind them, so that the scan runs over the
// real system on Windows and over an in-memory one in the host tests.
class PortMapCalls
{
  public:
    virtual ~PortMapCalls() = default;

    // RegOpenKeyExA under HKEY_LOCAL_MACHINE; false unless ERROR_SUCCESS.
    virtual bool OpenKey(const char* path, std::uint32_t access, KeyRef& key) = 0;
    // RegEnumValueA: nameSize in characters and dataSize in bytes, the
    // buffer sizes in, the lengths out. Returns a Win32 error code.
    virtual long EnumValue(KeyRef key, std::uint32_t index, char* name, std::uint32_t& nameSize,
                           std::uint32_t& type, void* data, std::uint32_t& dataSize) = 0;
    // RegCloseKey
    virtual void CloseKey(KeyRef key) = 0;
    // QueryDosDeviceA for one name: whether the name has a DOS device.
    virtual bool DosNameExists(const char* name) = 0;
};

class PortChoiceList
{
  public:
    // The number in a port name by sscanf's "COM%d" rule: capital COM, then
    // optional white space and sign, then digits; anything after is ignored.
    static std::optional<int> ParseComNumber(const std::string& text);

    // Marks the ports named by REG_SZ values; value names are not looked at.
    static PortsInUse MarkPortsInUse(const std::vector<PortMapValue>& values);

    // Reads the system's serial port map, HARDWARE\DEVICEMAP\SERIALCOMM.
    static PortsInUse ScanPortMap(PortMapCalls& calls);

    // The names the driver would refuse the device with this instance id:
    // those in the port map, those with a DOS device name, and those it
    // recorded for its other keyers, which may be unplugged.
    static PortsInUse ScanPortsInUse(PortMapCalls& calls, const std::string& deviceInstanceId);

    // The name of the COM-port interface Windows registers for the device,
    // under which the driver records the device's name.
    static std::string ComPortInterfaceName(const std::string& deviceInstanceId);

    static std::vector<std::string> BuildPortRows(const PortsInUse& inUse, int currentNumber);

    // The row the port box's own prefix search (CB_SELECTSTRING from the
    // top) selects for the name.
    static std::optional<std::size_t> FindPortRow(const std::vector<std::string>& rows,
                                                  const std::string& name);

    static std::string PortNameFromText(const std::string& text);

    // The current number used by BuildPortRows: -1 when the name gives none.
    static int CurrentPortNumber(const std::string& currentPortName);
};

} // namespace vkprop
