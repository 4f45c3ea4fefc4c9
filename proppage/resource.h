// Resource and control ids of the "Port settings" page.
#pragma once

#define IDD_PORT_SETTINGS 101
#define IDI_PORT_SETTINGS 105

#define IDC_MORE_INFO 1000
#define IDC_DEVICE_NAME 1001
#define IDC_KEY_LINE 1003
#define IDC_PORT_NAME 1004
#define IDC_PTT_LINE 1005
#define IDC_PAGE_ICON 1006
#define IDC_KEY_INVERT 1007
#define IDC_PTT_INVERT 1008
