/*
 * The hand-over to the HID stack belongs to the handle that asked for it:
 * any HID program that looks at the collection (every enumerator calls
 * HidD_GetAttributes, which reaches the port driver) must leave a keying
 * program's handle on COM40 as it was.
 */
#include "port_scenarios.h"

#include "check.h"
#include "hid_access.h"
#include "port_access.h"

extern "C"
{
#include <hidsdi.h>
}

namespace
{

struct PortRead
{
    HANDLE port;
    BOOL succeeded;
    DWORD bytes;
    DWORD error;
};

DWORD WINAPI ReadOnce(void* param)
{
    PortRead* read = static_cast<PortRead*>(param);
    unsigned char buffer[9];
    read->succeeded = ReadFile(read->port, buffer, sizeof(buffer), &read->bytes, NULL);
    read->error = read->succeeded ? ERROR_SUCCESS : GetLastError();
    return 0;
}

} // namespace

void HidProgramLeavesTheKeyingHandleSerial(HANDLE port, StandInClient& standIn)
{
    BeginScenario("A HID program reads the collection's attributes while a keying program "
                  "holds COM40: only the HID program's handle goes to the HID stack");
    ResetLines(port, standIn);
    std::string path = FindHidInterfacePath("HID\\VID_1234&PID_5678\\");
    HANDLE collection = OpenHidCollection(path);
    if (!Check(collection != INVALID_HANDLE_VALUE, "HID program opens the collection", "a handle",
               collection != INVALID_HANDLE_VALUE ? "a handle" : LastErrorText()))
        return;
    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = sizeof(attributes);
    if (CheckCall(HidD_GetAttributes(collection, &attributes) != FALSE, "HidD_GetAttributes"))
    {
        CheckEqualHex("vendor", 0x1234, attributes.VendorID);
        CheckEqualHex("product", 0x5678, attributes.ProductID);
    }

    // Key and PTT both on, were it an output report.
    const unsigned char keyAndPttOn[9] = {0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0};
    DWORD done = 0;
    BOOL ok = WriteFile(port, keyAndPttOn, sizeof(keyAndPttOn), &done, NULL);
    Check(ok && done == 9, "keying program's 9-byte write", "9 bytes written",
          ok ? std::to_string(done) + " bytes written" : LastErrorText());
    PortRead read = {port, FALSE, 0xFFFF, 0};
    HANDLE worker = CreateThread(NULL, 0, ReadOnce, &read, 0, NULL);
    DWORD finished = WaitForSingleObject(worker, 3000);
    CheckEqual("keying program's read returns at once (0 = returned)", WAIT_OBJECT_0, finished);
    if (finished == WAIT_OBJECT_0)
        Check(read.succeeded && read.bytes == 0, "keying program's read", "success with 0 bytes",
              read.succeeded ? std::to_string(read.bytes) + " bytes"
                             : "error " + std::to_string(read.error));
    CloseHandle(worker);
    CheckKeyingReports("after the keying program's write", standIn, {});

    const unsigned char pttOnly[9] = {0x00, 0x01, 0x01, 0, 0, 0, 0, 0, 0};
    ok = WriteFile(collection, pttOnly, sizeof(pttOnly), &done, NULL);
    CheckCall(ok != FALSE, "HID program's 9-byte write");
    standIn.WaitForReports(1, 2000);
    CheckKeyingReports("the HID program's write is an output report", standIn, {0x01});

    standIn.Clear();
    CheckCall(EscapeCommFunction(port, SETDTR) != FALSE, "SETDTR on COM40");
    CheckKeyingReports("the keying program still keys", standIn, {0x02});
    CloseHandle(collection);
    ResetLines(port, standIn);
}
