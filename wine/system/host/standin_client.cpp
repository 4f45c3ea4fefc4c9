#include "standin_client.h"

#include <winioctl.h>

StandInClient::StandInClient()
    : handle_(CreateFileA(STANDIN_DOS_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0,
                          NULL))
{
}

StandInClient::~StandInClient()
{
    if (IsOpen())
        CloseHandle(handle_);
}

std::vector<STANDIN_REPORT> StandInClient::Reports()
{
    std::vector<BYTE> buffer(sizeof(STANDIN_LOG_HEADER) +
                             STANDIN_LOG_CAPACITY * sizeof(STANDIN_REPORT));
    DWORD returned = 0;
    std::vector<STANDIN_REPORT> reports;
    if (!DeviceIoControl(handle_, IOCTL_STANDIN_GET_REPORTS, NULL, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &returned, NULL) ||
        returned < sizeof(STANDIN_LOG_HEADER))
        return reports;
    const STANDIN_LOG_HEADER* header = reinterpret_cast<const STANDIN_LOG_HEADER*>(buffer.data());
    const STANDIN_REPORT* first = reinterpret_cast<const STANDIN_REPORT*>(header + 1);
    reports.assign(first, first + header->Returned);
    return reports;
}

std::vector<STANDIN_REPORT> StandInClient::WaitForReports(size_t count, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        std::vector<STANDIN_REPORT> reports = Reports();
        if (reports.size() >= count || GetTickCount() - start > timeoutMs)
            return reports;
        Sleep(10);
    }
}

bool StandInClient::Clear()
{
    DWORD returned = 0;
    return DeviceIoControl(handle_, IOCTL_STANDIN_CLEAR_REPORTS, NULL, 0, NULL, 0, &returned,
                           NULL) != FALSE;
}

bool StandInClient::SetManufacturer(const std::wstring& text)
{
    DWORD returned = 0;
    return DeviceIoControl(handle_, IOCTL_STANDIN_SET_MANUFACTURER,
                           const_cast<wchar_t*>(text.data()),
                           static_cast<DWORD>(text.size() * sizeof(wchar_t)), NULL, 0, &returned,
                           NULL) != FALSE;
}

bool StandInClient::State(STANDIN_STATE* state)
{
    DWORD returned = 0;
    return DeviceIoControl(handle_, IOCTL_STANDIN_GET_STATE, NULL, 0, state, sizeof(*state),
                           &returned, NULL) &&
           returned == sizeof(*state);
}

bool WaitForStandIn(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        if (StandInClient().IsOpen())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(50);
    }
}
