/*
 * Device Manager's side of the "Port settings" page: vkprop.dll loaded into
 * this process, its page shown for the collection in a modeless property
 * sheet, its controls changed and Apply pressed as a user would.
 */
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "page_sheet.h"

struct PageChoice
{
    int keyRow; // 0 None, 1 DTR, 2 RTS
    int pttRow;
    bool keyInverted;
    bool pttInverted;
    int portRow; // -1 leaves the port name; row n-1 is COMn
};

struct PageApplyResult
{
    bool shown = false;    // EnumPropPages offered a page and the sheet showed it
    std::string error;     // what went wrong when not shown
    int keyRowBefore = -1; // the rows the page showed when it opened
    int pttRowBefore = -1;
    std::vector<std::string> messages; // message boxes raised by Apply, in order
};

/* Opens the page for the device listing hardwareId, makes the choice, presses Apply, then
   closes the sheet with Cancel (which stores nothing more). */
PageApplyResult ApplyInPage(const char* hardwareId, const PageChoice& choice);
