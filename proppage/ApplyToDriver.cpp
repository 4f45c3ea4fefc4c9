#include "ApplyToDriver.h"

#include "PageMessages.h"

namespace vkprop
{

void ApplyToDriver(PortIoCalls& calls, const std::string& portName, WindowRef owner)
{
    FileRef port = nullptr;
    // Only COM1 to COM9 are device names without the device namespace
    // prefix; COM10 and up (the package's default is COM40) would be
    // looked up as files in the current folder.
    const std::string path = portName.empty() ? portName : "\\\\.\\" + portName;
    // No sharing asked for: the driver's rules for several opens decide
    // whether the page may open the port while keying software holds it.
    if (!calls.CreatePortFile(path.c_str(), kGenericReadWrite, 0, kOpenExisting, 0, port))
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
