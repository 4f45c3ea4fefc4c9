/*
 * Reaching the stand-in's HID collection as a HID application would: through
 * its GUID_DEVINTERFACE_HID interface and hid.dll.
 */
#pragma once

#include <windows.h>

#include <string>

/* The interface path of the present HID collection whose instance id starts with prefix. */
std::string FindHidInterfacePath(const std::string& instancePrefix);

/* Polls for that path while Plug and Play starts the collection. */
std::string WaitForHidInterfacePath(const std::string& instancePrefix, DWORD timeoutMs);

HANDLE OpenHidCollection(const std::string& path);

/* HidD_GetManufacturerString, narrowed to ASCII for comparison; empty on failure. */
std::string ReadManufacturerString(HANDLE collection, bool* succeeded);
