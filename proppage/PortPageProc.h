// The dialog procedure of the "Port settings" page (template 101).
#pragma once

#include <windows.h>

namespace vkprop
{

INT_PTR CALLBACK PortPageProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

} // namespace vkprop
