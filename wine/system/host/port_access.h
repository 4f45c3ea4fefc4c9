/*
 * The keying port as keying software and the system see it: kernel32's serial
 * calls on COMn, the DOS device name, the SERIALCOMM map and the device key.
 */
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "standin_client.h"

/* The INF's default PortName, which the installed device publishes first. */
extern const char InstalledPortName[];
extern const DWORD HidGetManufacturerString;
/* SETDTR, SETRTS, CLRDTR, CLRRTS: every combination of the two lines once. */
extern const std::vector<DWORD> RaiseBothThenDrop;

#define IOCTL_KEYER_RELOAD_SETTINGS 0x9C432000
#define IOCTL_KEYER_REPUBLISH_PORT 0x9C432004

struct KeyingSettings
{
    DWORD keyFunc;
    DWORD pttFunc;
    DWORD keyLogic;
    DWORD pttLogic;
};

/* CreateFileA("\\.\COMn"), as keying software opens a port. */
HANDLE OpenPort(const std::string& name, bool overlapped = false);

/* A private control with no input or output; ERROR_SUCCESS or the call's error. */
DWORD SendPrivateControl(HANDLE port, DWORD code);

/* EscapeCommFunction for each step, in order; false at the first failure. */
bool RunLineSequence(HANDLE port, const std::vector<DWORD>& functions);

/* Both lines low and nothing recorded: the starting point of every sequence. */
bool ResetLines(HANDLE port, StandInClient& standIn);

/* Stores the four keying values and sends the reload control. */
bool ApplySettings(HANDLE port, const KeyingSettings& settings);

/* A DOS device target for a check's "seen" text. */
std::string Described(const std::string& target);

/* Writes the four keying values to the collection's device key. */
bool StoreKeyingSettings(const KeyingSettings& settings);

/* The target of the DOS device name, or empty when it does not exist. */
std::string DosDeviceTarget(const std::string& name);

/* The SERIALCOMM value names whose data is the given port name. */
std::vector<std::string> SerialCommEntriesFor(const std::string& portName);

/*
 * Checks that the stand-in holds exactly the keying reports with these state
 * bytes, in order: each 00 01 state 00 00 00 00 00 00 as the port driver
 * writes it (the stand-in sees the 8 bytes after report id 0).
 */
bool CheckKeyingReports(const std::string& what, StandInClient& standIn,
                        const std::vector<unsigned char>& states);
