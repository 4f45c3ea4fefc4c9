#include "Controls.h"

#include <stdexcept>

namespace vkprop
{

ComboBoxControl::ComboBoxControl(HWND dialog, int id) : window_(GetDlgItem(dialog, id))
{
    if (!window_)
        throw std::runtime_error("No item");
}

void ComboBoxControl::AddString(const std::string& text)
{
    SendMessageA(window_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void ComboBoxControl::SelectString(const std::string& text)
{
    SendMessageA(window_, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(text.c_str()));
}

std::string ComboBoxControl::GetText() const
{
    char text[255] = {};
    const int length = GetWindowTextA(window_, text, sizeof text);
    return std::string(text, length > 0 ? length : 0);
}

void LineFuncComboBox::FillLineChoices()
{
    // Row 0, 1, 2 are the numbers KeyFunc and PttFunc store: none, DTR, RTS.
    AddString("None");
    AddString("DTR");
    AddString("RTS");
}

void LineFuncComboBox::SetCurSel(int index)
{
    SendMessageA(window_, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int LineFuncComboBox::GetCurSel() const
{
    return static_cast<int>(SendMessageA(window_, CB_GETCURSEL, 0, 0));
}

} // namespace vkprop
