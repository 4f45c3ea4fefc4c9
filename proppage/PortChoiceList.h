// The 256 COM port rows of the port box, their marks, and the way back from
// the box's text to the name that is stored.
#pragma once

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

class PortChoiceList
{
  public:
    // The number in a port name by sscanf's "COM%d" rule: capital COM, then
    // optional white space and sign, then digits; anything after is ignored.
    static std::optional<int> ParseComNumber(const std::string& text);

    // Marks the ports named by REG_SZ values; value names are not looked at.
    static PortsInUse MarkPortsInUse(const std::vector<PortMapValue>& values);

    // Reads SERIALCOMM (Windows only).
    static PortsInUse ScanPortMap();

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
