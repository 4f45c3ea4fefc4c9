/*
 * The stand-in on its own, seen as a HID application sees a device: it must
 * look like the Velkor device to Plug and Play and record what it is sent,
 * or every port test above it proves nothing.
 */
#include "scenarios.h"

#include "check.h"
#include "device_setup.h"
#include "hid_access.h"
#include "port_access.h"
#include "standin_client.h"

#include <cstring>

namespace
{

std::string Join(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : " ") + item;
    return text;
}

bool Contains(const std::vector<std::string>& items, const std::string& wanted)
{
    for (const std::string& item : items)
        if (_stricmp(item.c_str(), wanted.c_str()) == 0)
            return true;
    return false;
}

void CollectionCarriesTheVelkorHardwareId()
{
    BeginScenario("Plug and Play finds the stand-in's HID collection under the Velkor hardware id");
    DeviceFacts facts = WaitForDevice(CollectionHardwareId, NULL, 5000);
    if (!Check(facts.found, "collection present",
               "a device listing " + std::string(CollectionHardwareId),
               facts.found ? facts.instanceId : "none"))
        return;
    Check(Contains(facts.hardwareIds, CollectionHardwareId), "hardware ids",
          "to include " + std::string(CollectionHardwareId), Join(facts.hardwareIds));
    Check(_strnicmp(facts.instanceId.c_str(), "HID\\VID_1234&PID_5678\\", 22) == 0, "instance id",
          "HID\\VID_1234&PID_5678\\...", facts.instanceId);
}

void HidApplicationReadsIdentityAndWritesReports(StandInClient& standIn,
                                                 const std::string& expected)
{
    BeginScenario("A HID application reads the manufacturer string (as the device key sets it) "
                  "and writes two output reports");
    std::string path = WaitForHidInterfacePath("HID\\VID_1234&PID_5678\\", 5000);
    if (!Check(!path.empty(), "HID interface", "a GUID_DEVINTERFACE_HID path",
               path.empty() ? "none" : path))
        return;
    HANDLE collection = OpenHidCollection(path);
    if (!Check(collection != INVALID_HANDLE_VALUE, "open the collection", "a handle",
               collection != INVALID_HANDLE_VALUE ? "a handle" : LastErrorText()))
        return;

    bool read = false;
    std::string manufacturer = ReadManufacturerString(collection, &read);
    CheckEqualText(read ? "HidD_GetManufacturerString"
                        : "HidD_GetManufacturerString (" + LastErrorText() + ")",
                   expected, manufacturer);

    standIn.Clear();
    const unsigned char first[9] = {0x00, 0x01, 0x02, 0, 0, 0, 0, 0, 0};
    const unsigned char second[9] = {0x00, 0x01, 0x03, 0, 0, 0, 0, 0, 0x5A};
    // The byte count is the class driver's business (Wine passes on the 8 the
    // stand-in reports): only success is the device's answer.
    DWORD written = 0;
    BOOL ok = WriteFile(collection, first, sizeof(first), &written, NULL);
    Check(ok != FALSE, "first 9-byte write", "success",
          ok ? std::to_string(written) + " bytes written" : LastErrorText());
    ok = WriteFile(collection, second, sizeof(second), &written, NULL);
    Check(ok != FALSE, "second 9-byte write", "success",
          ok ? std::to_string(written) + " bytes written" : LastErrorText());

    std::vector<STANDIN_REPORT> reports = standIn.WaitForReports(2, 2000);
    if (CheckEqual("reports recorded", 2, reports.size()))
    {
        // The class driver strips report id 0 and hands over the 8 bytes after it.
        CheckEqual("first report: kind (1 = write)", STANDIN_KIND_WRITE, reports[0].Kind);
        CheckEqual("first report: report id", 0, reports[0].ReportId);
        CheckEqual("first report: length", 8, reports[0].Length);
        Check(std::memcmp(reports[0].Data, first + 1, 8) == 0, "first report: bytes",
              HexBytes(first + 1, 8), HexBytes(reports[0].Data, 8));
        Check(std::memcmp(reports[1].Data, second + 1, 8) == 0, "second report: bytes",
              HexBytes(second + 1, 8), HexBytes(reports[1].Data, 8));
        Check(reports[1].Sequence == reports[0].Sequence + 1, "order", "second after first",
              std::to_string(reports[0].Sequence) + " then " + std::to_string(reports[1].Sequence));
    }
    CloseHandle(collection);
}

void ManufacturerStringIsConfigurable(StandInClient& standIn, const std::string& original)
{
    BeginScenario("The stand-in answers with whatever identity the test gives it");
    std::string path = FindHidInterfacePath("HID\\VID_1234&PID_5678\\");
    HANDLE collection = OpenHidCollection(path);
    if (!Check(collection != INVALID_HANDLE_VALUE, "open the collection", "a handle",
               collection != INVALID_HANDLE_VALUE ? "a handle" : LastErrorText()))
        return;
    bool read = false;
    if (!CheckCall(standIn.SetManufacturer(L"QX7LMN/2"), "set manufacturer"))
        return;
    CheckEqualText("manufacturer after change", "QX7LMN/2",
                   ReadManufacturerString(collection, &read));
    standIn.SetManufacturer(std::wstring(original.begin(), original.end()));
    CheckEqualText("manufacturer restored", original, ReadManufacturerString(collection, &read));
    CloseHandle(collection);
}

} // namespace

void RunStandInScenarios(const std::string& manufacturer, const char* portName)
{
    if (portName != NULL)
    {
        // A driver above the collection finishes its start after the HID
        // interface appears, and its start resets the pass-through a HID
        // application relies on: wait for the last step of that start.
        BeginScenario(std::string("The port driver above the stand-in publishes ") + portName);
        std::string target;
        for (int tries = 0; tries < 200 && target.empty(); ++tries)
        {
            target = DosDeviceTarget(portName);
            if (target.empty())
                Sleep(50);
        }
        if (!Check(!target.empty(), portName, "a link", target.empty() ? "no such name" : target))
            return;
    }

    BeginScenario("The stand-in's driver loads and opens its control device");
    if (!CheckCall(WaitForStandIn(5000), "open " STANDIN_DOS_NAME))
        return;
    StandInClient standIn;
    STANDIN_STATE state = {};
    if (standIn.State(&state))
        CheckEqual("device starts", 1, state.Starts);
    else
        CheckCall(false, "read the stand-in's state");

    CollectionCarriesTheVelkorHardwareId();
    HidApplicationReadsIdentityAndWritesReports(standIn, manufacturer);
    ManufacturerStringIsConfigurable(standIn, manufacturer);
}

void RunStandInUnplugScenario()
{
    BeginScenario("The stand-in is unplugged while the class driver's read waits on it");
    StandInClient standIn;
    STANDIN_STATE before = {};
    if (!CheckCall(standIn.IsOpen() && standIn.State(&before), "read the stand-in's state"))
        return;
    Check(before.PendingReads >= 1, "reads pending before removal", "at least 1",
          std::to_string(before.PendingReads));

    DWORD start = GetTickCount();
    CheckCall(UnplugStandIn(), "DIF_REMOVE on the stand-in's root device");
    DWORD elapsed = GetTickCount() - start;
    // hidclass waits for its read at teardown: a stand-in that kept it would hang here.
    Check(elapsed < 10000, "removal time", "under 10000 ms", std::to_string(elapsed) + " ms");

    // Wine keeps the removed collection's device node listed as present, so
    // the proof of removal is that its HID interface is gone.
    std::string path = FindHidInterfacePath("HID\\VID_1234&PID_5678\\");
    for (DWORD waited = 0; !path.empty() && waited < 3000; waited += 50)
    {
        Sleep(50);
        path = FindHidInterfacePath("HID\\VID_1234&PID_5678\\");
    }
    Check(path.empty(), "collection's HID interface after removal", "none",
          path.empty() ? "none" : path);

    STANDIN_STATE after = {};
    if (standIn.State(&after))
    {
        CheckEqual("reads pending after removal", 0, after.PendingReads);
        Check(after.ReadsCompletedAtRemoval >= before.PendingReads, "reads ended by the removal",
              "at least " + std::to_string(before.PendingReads),
              std::to_string(after.ReadsCompletedAtRemoval));
    }
    else
    {
        Note("the stand-in's driver unloaded with its device; its counters are gone");
    }
}
