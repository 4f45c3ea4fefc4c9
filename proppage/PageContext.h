// The page's record of the device whose properties Device Manager shows.
#pragma once

// Tag of setupapi.h's SP_DEVINFO_DATA: declared here so that the page logic
// builds without the Windows headers.
struct _SP_DEVINFO_DATA;

namespace vkprop
{

// Both members point into Device Manager's memory, which stays valid while
// the property sheet exists; the record itself belongs to one page and is
// freed when that page is released.
struct PageContext
{
    void* DeviceInfoSet; // HDEVINFO
    _SP_DEVINFO_DATA* DeviceInfoData;
};

} // namespace vkprop
