// What the "Port settings" page does at initialisation and at apply, over the
// dialog's controls seen through PageView, so that it runs without windows.
#pragma once

#include "ApplyToDriver.h"
#include "DeviceSettingsStore.h"
#include "PortChoiceList.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vkprop
{

enum class Line
{
    Key, // boxes 1003 and 1007
    Ptt, // boxes 1005 and 1008
};

// The page's controls. An implementation throws std::runtime_error("No item")
// when a control is missing from the dialog.
class PageView
{
  public:
    virtual ~PageView() = default;

    virtual void SetDeviceName(const std::string& name) = 0;
    virtual void AddPortRows(const std::vector<std::string>& rows) = 0;
    virtual void SelectPortRow(const std::string& prefix) = 0;
    virtual std::string GetPortText() = 0;
    virtual void FillLineChoices(Line line) = 0;
    virtual void SetLineSelection(Line line, int index) = 0;
    virtual int GetLineSelection(Line line) = 0; // -1: nothing selected
    virtual void SetInverted(Line line, bool inverted) = 0;
    virtual bool GetInverted(Line line) = 0;
    virtual void HideMoreInfo() = 0;
};

// The state of one page window, from WM_INITDIALOG to WM_DESTROY.
class PortPage
{
  public:
    using PortMapScan = std::function<PortsInUse()>;

    // The context is copied: the page never reads its PageContext again,
    // so whenever another page's release frees its own one, this page is unaffected.
    PortPage(DeviceCalls& deviceCalls, PortIoCalls& portCalls, const PageContext& context,
             PortMapScan scanPortMap);

    // Fills the controls from the device and gives the expanded SampleInfo
    // for "&More info...", or hides the button. False when a control failed:
    // the failure ends here, as no exception may reach the window manager.
    bool Initialise(PageView& view, std::optional<std::string>& sampleInfo) noexcept;

    // Stores the controls' settings and hands them to the driver. Every
    // control is read before anything is written, so when one fails (false)
    // the device's values stay as they were. A page whose initialisation
    // failed stores nothing: its controls do not show the device's settings.
    bool Apply(PageView& view, WindowRef owner) noexcept;

  private:
    std::optional<std::string> Fill(PageView& view);
    void Store(PageView& view, WindowRef owner);

    DeviceSettingsStore store_;
    PortIoCalls& portCalls_;
    PortMapScan scanPortMap_;
    bool filled_ = false;
};

} // namespace vkprop
