/*
 * Programs that key through the DCB: SetCommState with fRtsControl or
 * fDtrControl ENABLE, then DISABLE. Wine's kernel32 sends the modes only in
 * the handshake; Windows' kernel32 sends two line controls as well, which is
 * replayed here request by request.
 */
#include "port_scenarios.h"

#include <winioctl.h>

#include "check.h"
#include "port_access.h"

namespace
{

#define SERIAL_CODE(function)                                                                      \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS)

bool Control(HANDLE port, DWORD code, const void* input, DWORD size)
{
    DWORD returned = 0;
    return DeviceIoControl(port, code, const_cast<void*>(input), size, NULL, 0, &returned, NULL) !=
           FALSE;
}

bool SetModes(HANDLE port, DCB& dcb, DWORD dtr, DWORD rts)
{
    dcb.fDtrControl = dtr;
    dcb.fRtsControl = rts;
    return SetCommState(port, &dcb) != FALSE;
}

} // namespace

void KeyingThroughTheDcb(HANDLE port, StandInClient& standIn)
{
    BeginScenario("A program keys PTT, then Key, with SetCommState's fRtsControl and fDtrControl");
    ApplySettings(port, {1, 2, 0, 0});
    ResetLines(port, standIn);
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    CheckCall(GetCommState(port, &dcb) != FALSE, "GetCommState");
    CheckCall(SetModes(port, dcb, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE), "RTS ENABLE");
    DCB keyed = {};
    keyed.DCBlength = sizeof(keyed);
    if (CheckCall(GetCommState(port, &keyed) != FALSE, "GetCommState while keyed"))
        CheckEqual("fRtsControl read back", RTS_CONTROL_ENABLE, keyed.fRtsControl);
    CheckCall(SetModes(port, dcb, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE), "RTS DISABLE");
    CheckCall(SetModes(port, dcb, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE), "DTR ENABLE");
    CheckCall(SetModes(port, dcb, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE), "DTR DISABLE");
    CheckKeyingReports("PTT on, off, Key on, off", standIn, {0x01, 0x03, 0x02, 0x03});

    BeginScenario("Windows' SetCommState for RTS ENABLE, DTR DISABLE, replayed request by request");
    ResetLines(port, standIn);
    const ULONG baud = 9600;
    const unsigned char lineControl[3] = {ONESTOPBIT, NOPARITY, 8};
    const unsigned char chars[6] = {0, 0, 0, 0, 0x11, 0x13};
    // ControlHandShake, FlowReplace (RTS_CONTROL), XonLimit, XoffLimit.
    const ULONG handFlow[4] = {0, 0x40, 2048, 512};
    CheckCall(Control(port, SERIAL_CODE(1), &baud, sizeof(baud)) &&
                  Control(port, SERIAL_CODE(12), NULL, 0) &&
                  Control(port, SERIAL_CODE(10), NULL, 0) &&
                  Control(port, SERIAL_CODE(3), lineControl, sizeof(lineControl)) &&
                  Control(port, SERIAL_CODE(23), chars, sizeof(chars)) &&
                  Control(port, SERIAL_CODE(25), handFlow, sizeof(handFlow)),
              "SET_BAUD_RATE, SET_RTS, CLR_DTR, SET_LINE_CONTROL, SET_CHARS, SET_HANDFLOW");
    CheckKeyingReports("the two line controls' reports, none for the handshake", standIn,
                       {0x01, 0x01});
    CheckCall(SetModes(port, dcb, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE), "back to DISABLE");
    standIn.Clear();
}
