#include "ApplyToDriver.h"

#include "PageMessages.h"

namespace vkprop
{

void ApplyToDriver(PortIoCalls& calls, const std::string& portName, WindowRef owner)
{
    FileRef port = nullptr;
    // No sharing asked for: the driver's rules for several opens decide
    // whether the page may open the port while keying software holds it.
    if (!calls.CreatePortFile(portName.c_str(), kGenericReadWrite, 0, kOpenExisting, 0, port))
    {
        calls.ShowMessageBox(owner, kPortOpenFailedMessage, nullptr, kMbOk);
        return;
    }
    std::uint32_t returned = 0;
    if (!calls.SendDeviceControl(port, IOCTL_KEYER_RELOAD_SETTINGS, nullptr, 0, nullptr, 0,
                                 &returned))
        calls.ShowMessageBox(owner, kReloadFailedMessage, nullptr, kMbOk);
    calls.CloseFile(port);
}

} // namespace vkprop
