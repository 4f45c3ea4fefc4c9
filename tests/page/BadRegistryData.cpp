#include "BadRegistryData.h"

#include "PageMessages.h"
#include "PortPage.h"

#include <cstdio>

namespace vkprop::test
{

namespace
{

_SP_DEVINFO_DATA keyerElement{1};
const auto kPageWindow = reinterpret_cast<WindowRef>(0x2200);

const char* TypeName(std::uint32_t type)
{
    switch (type)
    {
    case kRegSz:
        return "REG_SZ";
    case kRegExpandSz:
        return "REG_EXPAND_SZ";
    case kRegBinary:
        return "REG_BINARY";
    case kRegDword:
        return "REG_DWORD";
    case kRegMultiSz:
        return "REG_MULTI_SZ";
    }
    return "type?";
}

// Text as a reader can take it in: control bytes escaped, long runs cut.
std::string Printable(const std::string& text)
{
    std::string shown;
    const std::size_t limit = text.size() > 40 ? 16 : text.size();
    for (std::size_t i = 0; i < limit; ++i)
    {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c >= 0x7F)
        {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        }
        else
            shown += static_cast<char>(c);
    }
    if (limit < text.size())
        shown += "... (" + std::to_string(text.size()) + " chars)";
    return "\"" + shown + "\"";
}

std::string StoredValue(const FakeDeviceState& device, const std::string& name)
{
    auto found = device.key.find(name);
    if (found == device.key.end())
        return "missing";
    const RegValue& value = found->second;
    if (value.type == kRegDword && value.data.size() == 4)
    {
        const std::uint32_t number = AsDword(value);
        char text[16];
        std::snprintf(text, sizeof text, number > 0xFFFF ? "0x%X" : "%u", number);
        return std::string("REG_DWORD ") + text;
    }
    const auto& data = value.data;
    if (value.type == kRegSz && !data.empty() && data.back() == 0 &&
        std::find(data.begin(), data.end() - 1, 0) == data.end() - 1)
        return "REG_SZ " + Printable(std::string(data.begin(), data.end() - 1));
    return std::string(TypeName(value.type)) + " " + std::to_string(data.size()) + " bytes";
}

// The rows marked "(in use)", as ranges: COM1-COM4,COM6.
std::string InUseRows(const std::vector<std::string>& rows)
{
    std::string ranges;
    for (std::size_t i = 0; i < rows.size();)
    {
        const auto inUse = [&rows](std::size_t k) {
            return rows[k].find("(in use)") != std::string::npos;
        };
        if (!inUse(i))
        {
            ++i;
            continue;
        }
        std::size_t last = i;
        while (last + 1 < rows.size() && inUse(last + 1))
            ++last;
        if (!ranges.empty())
            ranges += ",";
        ranges += "COM" + std::to_string(i + 1);
        if (last > i)
            ranges += "-COM" + std::to_string(last + 1);
        i = last + 1;
    }
    return ranges.empty() ? "none" : ranges;
}

std::string CurrentRow(const std::vector<std::string>& rows)
{
    for (std::size_t i = 0; i < rows.size(); ++i)
    {
        if (rows[i].find("(current setting)") != std::string::npos)
            return "COM" + std::to_string(i + 1);
    }
    return "none";
}

std::string LiveApply(const FakePortIoCalls& portIo)
{
    if (portIo.log.empty())
        return "nothing";
    const std::string opened =
        Printable(portIo.log[0].substr(5, portIo.log[0].find(" C0000000") - 5));
    if (portIo.messages.empty())
        return "reload through " + opened;
    if (portIo.messages[0] == kPortOpenFailedMessage)
        return "message: cannot open " + opened;
    return "message: reload failed on " + opened;
}

void InstallIntactKeyer(FakeDeviceState& device, FakePortMapCalls& portMap)
{
    device.properties = {{kSpdrpDeviceDesc, "Keyer"}, {kSpdrpFriendlyName, "Keyer (COM5)"}};
    device.key = {{"PortName", SzWithTerminator("COM5")},
                  {"KeyFunc", Dword(2)},
                  {"PttFunc", Dword(1)},
                  {"KeyLogic", Dword(1)},
                  {"PttLogic", Dword(0)},
                  {"SampleInfo", SzWithTerminator("%windir%\\keyer.htm")}};
    portMap.values = {{"\\Device\\Serial0", SzWithTerminator("COM1")},
                      {"\\Device\\VkSerial0", SzWithTerminator("COM5")}};
}

RegValue Filled(std::uint32_t type, std::size_t size, char fill)
{
    return {type, std::vector<unsigned char>(size, static_cast<unsigned char>(fill))};
}

// Text followed by fill to exactly 256 bytes, no terminator.
RegValue Unterminated256(const std::string& text, char fill)
{
    std::string bytes = text + std::string(256 - text.size(), fill);
    return Bytes(kRegSz, bytes);
}

std::function<void(FakeDeviceState&, FakePortMapCalls&)> SetValue(const std::string& name,
                                                                  RegValue value)
{
    return [name, value](FakeDeviceState& device, FakePortMapCalls&) { device.key[name] = value; };
}

std::function<void(FakeDeviceState&, FakePortMapCalls&)> RemoveValue(const std::string& name)
{
    return [name](FakeDeviceState& device, FakePortMapCalls&) { device.key.erase(name); };
}

// SERIALCOMM with odd values between the intact keyer's two: the values
// after one that ends the enumeration are never seen.
std::function<void(FakeDeviceState&, FakePortMapCalls&)> PortMapWith(
    std::vector<std::pair<std::string, RegValue>> odd)
{
    return [odd](FakeDeviceState&, FakePortMapCalls& portMap) {
        std::vector<std::pair<std::string, RegValue>> values{portMap.values[0]};
        values.insert(values.end(), odd.begin(), odd.end());
        values.push_back(portMap.values[1]);
        values.push_back({"\\Device\\Serial1", SzWithTerminator("COM4")});
        portMap.values = values;
    };
}

void AddKeyingValueCases(std::vector<BadDataCase>& cases)
{
    // Each odd form of a keying value, and the number the page reads from it
    // (the type is not asked for; only data of exactly 4 bytes is a number).
    struct OddForm
    {
        const char* label;
        RegValue value;
        bool readsAsOne;
    };
    const OddForm forms[] = {
        {"REG_BINARY 01 00 00 00", Bytes(kRegBinary, std::string("\1\0\0\0", 4)), true},
        {"REG_BINARY 8 bytes", Bytes(kRegBinary, std::string("\1\0\0\0\0\0\0\0", 8)), false},
        {"REG_SZ \"1\"", SzWithTerminator("1"), false},
        {"REG_SZ \"RTS\" (4 bytes)", SzWithTerminator("RTS"), false},
        {"REG_MULTI_SZ \"1\"", Bytes(kRegMultiSz, std::string("1\0\0", 3)), false},
        {"REG_EXPAND_SZ \"2\"", Bytes(kRegExpandSz, std::string("2\0", 2)), false},
        {"empty (0 bytes)", Bytes(kRegDword, ""), false},
        {"4 KB", Filled(kRegDword, 4096, '\1'), false},
        {"256 bytes unterminated", Unterminated256("1", '1'), false},
    };
    struct Target
    {
        const char* name;
        const char* field;
        const char* shownWhenOne;
        const char* shownOtherwise;
        const char* storedWhenOne;
        const char* storedOtherwise;
    };
    const Target targets[] = {
        {"KeyFunc", "key line", "DTR", "(empty)", "REG_DWORD 1", "REG_DWORD 0xFFFFFFFF"},
        {"PttFunc", "ptt line", "DTR", "(empty)", "REG_DWORD 1", "REG_DWORD 0xFFFFFFFF"},
        {"KeyLogic", "key invert", "checked", "unchecked", "REG_DWORD 1", "REG_DWORD 0"},
        {"PttLogic", "ptt invert", "checked", "unchecked", "REG_DWORD 1", "REG_DWORD 0"},
    };
    for (const Target& target : targets)
    {
        const std::string stored = std::string(target.name) + " after OK";
        for (const OddForm& form : forms)
        {
            cases.push_back(
                {std::string(target.name) + " as " + form.label,
                 SetValue(target.name, form.value),
                 {{target.field, form.readsAsOne ? target.shownWhenOne : target.shownOtherwise},
                  {stored, form.readsAsOne ? target.storedWhenOne : target.storedOtherwise}}});
        }
        cases.push_back(
            {std::string(target.name) + " missing",
             RemoveValue(target.name),
             {{target.field, target.shownOtherwise}, {stored, target.storedOtherwise}}});
    }
}

std::vector<BadDataCase> MakeCases()
{
    const std::string longPort = "COM5" + std::string(252, 'x');
    // With the port box empty, OK keeps PortName as it is and the friendly
    // name with it; the live apply goes to the name read, which opens nothing.
    std::vector<BadDataCase> cases = {
        // PortName
        {"PortName as REG_BINARY \"COM5\" unterminated", SetValue("PortName", Sz("COM5")), {}},
        {"PortName as REG_EXPAND_SZ \"COM5\"",
         SetValue("PortName", Bytes(kRegExpandSz, std::string("COM5\0", 5))),
         {}},
        {"PortName as REG_MULTI_SZ \"COM7\" \"COM8\"",
         SetValue("PortName", Bytes(kRegMultiSz, std::string("COM7\0COM8\0\0", 11))),
         {{"port box", "COM7(current setting)"},
          {"current row", "COM7"},
          {"in use", "COM1,COM5"},
          {"PortName after OK", "REG_SZ \"COM7\""},
          {"friendly name after OK", "\"Keyer (COM7)\""},
          {"live apply", "message: cannot open \"\\\\.\\COM7\""}}},
        {"PortName as REG_DWORD 5",
         SetValue("PortName", Dword(5)),
         {{"port box", "\"\""},
          {"current row", "none"},
          {"in use", "COM1,COM5"},
          {"PortName after OK", "REG_DWORD 5"},
          {"live apply", "message: cannot open \"\\\\.\\\\x05\""}}},
        {"PortName empty (0 bytes)",
         SetValue("PortName", Bytes(kRegSz, "")),
         {{"port box", "\"\""},
          {"current row", "none"},
          {"in use", "COM1,COM5"},
          {"PortName after OK", "REG_SZ 0 bytes"},
          {"live apply", "message: cannot open \"\""}}},
        {"PortName 4 KB",
         SetValue("PortName", Filled(kRegSz, 4096, 'C')),
         {{"port box", "\"\""},
          {"current row", "none"},
          {"in use", "COM1,COM5"},
          {"PortName after OK", "REG_SZ 4096 bytes"},
          {"live apply", "message: cannot open \"\""}}},
        {"PortName 256 bytes unterminated (COM5xxx...)",
         SetValue("PortName", Unterminated256("COM5", 'x')),
         {{"port box", "\"\""},
          {"PortName after OK", "REG_SZ 256 bytes"},
          {"live apply", "message: cannot open \"\\\\.\\COM5xxxxxxxx... (259 chars)\""}}},
        {"PortName missing",
         RemoveValue("PortName"),
         {{"port box", "\"\""},
          {"current row", "none"},
          {"in use", "COM1,COM5"},
          {"PortName after OK", "missing"},
          {"live apply", "message: cannot open \"\""}}},
        {"PortName \"com5\" (small letters)",
         SetValue("PortName", SzWithTerminator("com5")),
         {{"port box", "COM5(in use)"},
          {"current row", "none"},
          {"in use", "COM1,COM5"},
          {"live apply", "reload through \"\\\\.\\com5\""}}},
        {"PortName \"COM 7\"",
         SetValue("PortName", SzWithTerminator("COM 7")),
         {{"port box", "\"\""},
          {"current row", "COM7"},
          {"in use", "COM1,COM5"},
          {"PortName after OK", "REG_SZ \"COM 7\""},
          {"live apply", "message: cannot open \"\\\\.\\COM 7\""}}},

        // SampleInfo: the "&More info..." button
        {"SampleInfo as REG_BINARY \"help.htm\" unterminated",
         SetValue("SampleInfo", Bytes(kRegBinary, "help.htm")),
         {{"more info", "opens \"help.htm\""}}},
        {"SampleInfo as REG_DWORD 7",
         SetValue("SampleInfo", Dword(7)),
         {{"more info", "opens \"\\x07\""}}},
        {"SampleInfo as REG_DWORD 0", SetValue("SampleInfo", Dword(0)), {{"more info", "hidden"}}},
        {"SampleInfo as REG_MULTI_SZ \"a.htm\" \"b.htm\"",
         SetValue("SampleInfo", Bytes(kRegMultiSz, std::string("a.htm\0b.htm\0\0", 13))),
         {{"more info", "opens \"a.htm\""}}},
        {"SampleInfo as REG_EXPAND_SZ",
         SetValue("SampleInfo", Bytes(kRegExpandSz, std::string("%windir%\\keyer.htm\0", 19))),
         {}},
        {"SampleInfo empty (0 bytes)",
         SetValue("SampleInfo", Bytes(kRegSz, "")),
         {{"more info", "hidden"}}},
        {"SampleInfo 4 KB",
         SetValue("SampleInfo", Filled(kRegSz, 4096, 'x')),
         {{"more info", "hidden"}}},
        {"SampleInfo 256 bytes unterminated",
         SetValue("SampleInfo", Unterminated256("", 'x')),
         {{"more info", "opens \"xxxxxxxxxxxxxxxx... (256 chars)\""}}},
        {"SampleInfo whose expansion does not fit in 256",
         SetValue("SampleInfo", SzWithTerminator("%windir%\\" + std::string(246, 'x'))),
         {{"more info", "opens \"%windir%\\xxxxxxx... (255 chars)\""}}},
        {"SampleInfo missing", RemoveValue("SampleInfo"), {{"more info", "hidden"}}},

        // Friendly name and description
        {"friendly name 300 bytes",
         [](FakeDeviceState& device, FakePortMapCalls&) {
             device.properties[kSpdrpFriendlyName] = std::string(299, 'F');
         },
         {{"name", "\"Keyer\""}}},
        {"friendly name 256 bytes unterminated",
         [](FakeDeviceState& device, FakePortMapCalls&) {
             device.oddProperties[kSpdrpFriendlyName] = Unterminated256("Keyer (COM5)", 'F');
         },
         {{"name", "\"Keyer (COM5)FFFF... (256 chars)\""}}},
        {"friendly name as REG_BINARY unterminated",
         [](FakeDeviceState& device, FakePortMapCalls&) {
             device.oddProperties[kSpdrpFriendlyName] = Bytes(kRegBinary, "Keyer (COM5)");
         },
         {}},
        {"friendly name 300 bytes, description REG_BINARY unterminated",
         [](FakeDeviceState& device, FakePortMapCalls&) {
             device.properties[kSpdrpFriendlyName] = std::string(299, 'F');
             device.oddProperties[kSpdrpDeviceDesc] = Bytes(kRegBinary, "Keyer");
         },
         {{"name", "\"Keyer\""}}},
        {"friendly name missing, description 300 bytes",
         [](FakeDeviceState& device, FakePortMapCalls&) {
             device.properties.erase(kSpdrpFriendlyName);
             device.properties[kSpdrpDeviceDesc] = std::string(299, 'D');
         },
         {{"name", "\"\""}, {"friendly name after OK", "missing"}}},
        {"description 255 bytes unterminated",
         [](FakeDeviceState& device, FakePortMapCalls&) {
             device.oddProperties[kSpdrpDeviceDesc] = Bytes(kRegSz, std::string(255, 'D'));
         },
         {{"friendly name after OK", "\"DDDDDDDDDDDDDDDD... (262 chars)\""}}},
        {"description 256 bytes unterminated",
         [](FakeDeviceState& device, FakePortMapCalls&) {
             device.oddProperties[kSpdrpDeviceDesc] = Bytes(kRegSz, std::string(256, 'D'));
         },
         {}},

        // SERIALCOMM; COM4 stands after the odd values
        {"SERIALCOMM name of 255 characters",
         PortMapWith({{std::string(255, 'N'), SzWithTerminator("COM3")}}),
         {{"in use", "COM1,COM3-COM4"}}},
        {"SERIALCOMM name of 256 characters",
         PortMapWith({{std::string(256, 'N'), SzWithTerminator("COM3")}}),
         {}},
        {"SERIALCOMM data of 256 bytes unterminated",
         PortMapWith({{"\\Device\\Odd", Unterminated256("COM3", ' ')}}),
         {{"in use", "COM1,COM3-COM4"}}},
        {"SERIALCOMM data of 257 bytes",
         PortMapWith({{"\\Device\\Odd", SzWithTerminator("COM3" + std::string(252, ' '))}}),
         {}},
        {"SERIALCOMM data of 4 KB",
         PortMapWith({{"\\Device\\Odd", Filled(kRegSz, 4096, 'C')}}),
         {}},
        {"SERIALCOMM values of other types",
         PortMapWith({{"\\Device\\Expand", Bytes(kRegExpandSz, std::string("COM2\0", 5))},
                      {"\\Device\\Multi", Bytes(kRegMultiSz, std::string("COM3\0\0", 6))},
                      {"\\Device\\Binary", Bytes(kRegBinary, "COM6")},
                      {"\\Device\\Dword", Dword(7)}}),
         {{"in use", "COM1,COM4"}}},
        {"SERIALCOMM value with empty data",
         PortMapWith({{"\\Device\\Empty", Bytes(kRegSz, "")}}),
         {{"in use", "COM1,COM4"}}},
        {"SERIALCOMM COM0, COM257, COM-3, com6",
         PortMapWith({{"a", SzWithTerminator("COM0")},
                      {"b", SzWithTerminator("COM257")},
                      {"c", SzWithTerminator("COM-3")},
                      {"d", SzWithTerminator("com6")}}),
         {{"in use", "COM1,COM4"}}},
        {"SERIALCOMM \"COM 7\" and \"COM2 extra\"",
         PortMapWith({{"a", SzWithTerminator("COM 7")}, {"b", SzWithTerminator("COM2 extra")}}),
         {{"in use", "COM1-COM2,COM4,COM7"}}},
        {"SERIALCOMM duplicates",
         PortMapWith({{"a", SzWithTerminator("COM3")},
                      {"b", SzWithTerminator("COM3")},
                      {"c", SzWithTerminator("COM1")},
                      {"d", SzWithTerminator("COM5")}}),
         {{"in use", "COM1,COM3-COM4"}}},
        {"SERIALCOMM with 300 values COM1 to COM300",
         [](FakeDeviceState&, FakePortMapCalls& portMap) {
             portMap.values.clear();
             for (int port = 1; port <= 300; ++port)
                 portMap.values.push_back({"\\Device\\Serial" + std::to_string(port - 1),
                                           SzWithTerminator("COM" + std::to_string(port))});
         },
         {{"in use", "COM1-COM4,COM6-COM256"}}},
        {"SERIALCOMM empty",
         [](FakeDeviceState&, FakePortMapCalls& portMap) { portMap.values.clear(); },
         {{"in use", "none"}}},
        {"SERIALCOMM cannot be opened",
         [](FakeDeviceState&, FakePortMapCalls& portMap) { portMap.opens = false; },
         {{"in use", "none"}}},
    };
    AddKeyingValueCases(cases);
    return cases;
}

} // namespace

PageOutcome IntactOutcome()
{
    return {
        {"name", "\"Keyer (COM5)\""},
        {"port box", "COM5(current setting)"},
        {"current row", "COM5"},
        {"in use", "COM1"},
        {"key line", "RTS"},
        {"ptt line", "DTR"},
        {"key invert", "checked"},
        {"ptt invert", "unchecked"},
        {"more info", "opens \"C:\\WINDOWS\\keyer.htm\""},
        {"PortName after OK", "REG_SZ \"COM5\""},
        {"KeyFunc after OK", "REG_DWORD 2"},
        {"PttFunc after OK", "REG_DWORD 1"},
        {"KeyLogic after OK", "REG_DWORD 1"},
        {"PttLogic after OK", "REG_DWORD 0"},
        {"friendly name after OK", "\"Keyer (COM5)\""},
        {"live apply", "reload through \"\\\\.\\COM5\""},
    };
}

PageOutcome ExpectedOutcome(const BadDataCase& badCase)
{
    PageOutcome expected = IntactOutcome();
    for (const auto& [field, value] : badCase.changes)
        expected[field] = value;
    return expected;
}

PageOutcome ShowAndApply(const BadDataCase& badCase)
{
    FakeDeviceCalls deviceCalls;
    FakePortIoCalls portIo;
    FakePortMapCalls portMap;
    deviceCalls.environment["windir"] = "C:\\WINDOWS";
    portIo.ports["\\\\.\\COM5"] = true;
    const PageContext context{reinterpret_cast<void*>(0x1000), &keyerElement};
    FakeDeviceState& device = deviceCalls.Device(context);
    InstallIntactKeyer(device, portMap);
    badCase.spoil(device, portMap);

    PortPage page(deviceCalls, portIo, context,
                  [&portMap] { return PortChoiceList::ScanPortMap(portMap); });
    FakePageView view;
    std::optional<std::string> sampleInfo;
    PageOutcome outcome;
    if (!page.Initialise(view, sampleInfo))
        outcome["initialisation"] = "failed";
    outcome["name"] = Printable(view.deviceName);
    outcome["port box"] = view.portText.empty() ? "\"\"" : view.portText;
    outcome["current row"] = CurrentRow(view.portRows);
    outcome["in use"] = InUseRows(view.portRows);
    outcome["key line"] = view.lineSelection[0] < 0 ? "(empty)" : view.LineText(Line::Key);
    outcome["ptt line"] = view.lineSelection[1] < 0 ? "(empty)" : view.LineText(Line::Ptt);
    outcome["key invert"] = view.inverted[0] ? "checked" : "unchecked";
    outcome["ptt invert"] = view.inverted[1] ? "checked" : "unchecked";
    if (view.moreInfoVisible != sampleInfo.has_value())
        outcome["more info"] = "button and text disagree";
    else
        outcome["more info"] = sampleInfo ? "opens " + Printable(*sampleInfo) : "hidden";
    if (view.portRows.size() != static_cast<std::size_t>(kPortRowCount))
        outcome["rows"] = std::to_string(view.portRows.size());
    if (portMap.openKeys != 0)
        outcome["SERIALCOMM keys left open"] = std::to_string(portMap.openKeys);

    if (!page.Apply(view, kPageWindow))
        outcome["apply"] = "failed";
    for (const char* name : {"PortName", "KeyFunc", "PttFunc", "KeyLogic", "PttLogic"})
        outcome[std::string(name) + " after OK"] = StoredValue(device, name);
    auto friendly = device.properties.find(kSpdrpFriendlyName);
    if (device.oddProperties.count(kSpdrpFriendlyName))
        outcome["friendly name after OK"] = "odd, not rewritten";
    else
        outcome["friendly name after OK"] =
            friendly == device.properties.end() ? "missing" : Printable(friendly->second);
    outcome["live apply"] = LiveApply(portIo);
    return outcome;
}

const std::vector<BadDataCase>& BadDataCases()
{
    static const std::vector<BadDataCase> cases = MakeCases();
    return cases;
}

} // namespace vkprop::test
