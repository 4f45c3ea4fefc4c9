#include "PortPage.h"

namespace vkprop
{

namespace
{

// The line boxes list "None", "DTR", "RTS": their row index is the stored
// number. Any other number selects nothing rather than a wrong line.
int LineRowForValue(const std::optional<std::uint32_t>& value)
{
    if (value && *value <= 2)
        return static_cast<int>(*value);
    return -1;
}

} // namespace

PortPage::PortPage(DeviceCalls& deviceCalls, PortIoCalls& portCalls, const PageContext& context,
                   PortMapScan scanPortMap)
    : store_(deviceCalls, context), portCalls_(portCalls), scanPortMap_(std::move(scanPortMap))
{
}

bool PortPage::Initialise(PageView& view, std::optional<std::string>& sampleInfo) noexcept
{
    try
    {
        sampleInfo = Fill(view);
        filled_ = true;
        return true;
    }
    catch (...)
    {
        sampleInfo.reset();
        return false;
    }
}

bool PortPage::Apply(PageView& view, WindowRef owner) noexcept
{
    if (!filled_)
        return false;
    try
    {
        Store(view, owner);
        return true;
    }
    catch (...)
    {
        return false;
    }
}

std::optional<std::string> PortPage::Fill(PageView& view)
{
    const std::string displayName = store_.ReadDisplayName();
    store_.OpenDeviceKey();
    view.SetDeviceName(displayName);

    const PortsInUse inUse = scanPortMap_();
    store_.ReadPortName();
    const std::string& current = store_.CurrentPortName();
    const std::vector<std::string> rows =
        PortChoiceList::BuildPortRows(inUse, PortChoiceList::CurrentPortNumber(current));
    view.AddPortRows(rows);
    if (PortChoiceList::FindPortRow(rows, current))
        view.SelectPortRow(current);

    view.FillLineChoices(Line::Key);
    view.FillLineChoices(Line::Ptt);
    // A missing value leaves its box empty: the page has no default of its
    // own to offer, and the next apply then stores "no line".
    const int keyRow = LineRowForValue(store_.ReadDword("KeyFunc"));
    if (keyRow >= 0)
        view.SetLineSelection(Line::Key, keyRow);
    const int pttRow = LineRowForValue(store_.ReadDword("PttFunc"));
    if (pttRow >= 0)
        view.SetLineSelection(Line::Ptt, pttRow);
    view.SetInverted(Line::Key, store_.ReadDword("KeyLogic") == 1u);
    view.SetInverted(Line::Ptt, store_.ReadDword("PttLogic") == 1u);

    std::optional<std::string> sampleInfo = store_.ReadSampleInfo();
    // A value with no data, or data that begins with a zero byte, names
    // nothing for the shell to open: the button goes as for a missing value.
    if (sampleInfo && sampleInfo->empty())
        sampleInfo.reset();
    if (!sampleInfo)
        view.HideMoreInfo();
    return sampleInfo;
}

void PortPage::Store(PageView& view, WindowRef owner)
{
    const std::string portName = PortChoiceList::PortNameFromText(view.GetPortText());
    // CB_ERR (-1) is stored as 0xFFFFFFFF, which the driver reads as no line.
    const auto keyFunc = static_cast<std::uint32_t>(view.GetLineSelection(Line::Key));
    const auto pttFunc = static_cast<std::uint32_t>(view.GetLineSelection(Line::Ptt));
    const std::uint32_t keyLogic = view.GetInverted(Line::Key) ? 1 : 0;
    const std::uint32_t pttLogic = view.GetInverted(Line::Ptt) ? 1 : 0;

    // An empty box means no port was chosen, not that the port should have
    // no name: the driver could not publish an empty name, so the stored
    // one, and the friendly name that shows it, stay as they are.
    if (!portName.empty())
        store_.WritePortName(portName);
    store_.WriteDword("KeyFunc", keyFunc);
    store_.WriteDword("PttFunc", pttFunc);
    store_.WriteDword("KeyLogic", keyLogic);
    store_.WriteDword("PttLogic", pttLogic);
    if (!portName.empty())
        store_.UpdateFriendlyName(portName);

    ApplyToDriver(portCalls_, store_.CurrentPortName(), owner);
}

} // namespace vkprop
