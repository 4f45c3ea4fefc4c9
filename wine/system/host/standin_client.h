/*
 * The test's view of the stand-in device: the output reports it received and
 * the identity it answers with, through its control device.
 */
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "standin_control.h"

class StandInClient
{
  public:
    StandInClient();
    ~StandInClient();
    StandInClient(const StandInClient&) = delete;
    StandInClient& operator=(const StandInClient&) = delete;

    bool IsOpen() const
    {
        return handle_ != INVALID_HANDLE_VALUE;
    }
    std::vector<STANDIN_REPORT> Reports();
    /* Waits until at least count reports are held (or timeoutMs passes). */
    std::vector<STANDIN_REPORT> WaitForReports(size_t count, DWORD timeoutMs);
    bool Clear();
    bool SetManufacturer(const std::wstring& text);
    bool State(STANDIN_STATE* state);

  private:
    HANDLE handle_;
};

/* Opens the control device, polling while the stand-in's driver loads. */
bool WaitForStandIn(DWORD timeoutMs);
