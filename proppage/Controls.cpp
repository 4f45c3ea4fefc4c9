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

void ComboBoxControl::FitDroppedWidthToRows()
{
    HDC dc = GetDC(window_);
    if (!dc)
        return;
    // The rows are drawn in the box's font, not the DC's default one.
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageA(window_, WM_GETFONT, 0, 0));
    HGDIOBJ previous = font ? SelectObject(dc, font) : nullptr;
    int widest = 0;
    const int rows = static_cast<int>(SendMessageA(window_, CB_GETCOUNT, 0, 0));
    for (int row = 0; row < rows; ++row)
    {
        char text[256] = {};
        const LRESULT length = SendMessageA(window_, CB_GETLBTEXTLEN, row, 0);
        if (length <= 0 || length >= static_cast<LRESULT>(sizeof text))
            continue;
        SendMessageA(window_, CB_GETLBTEXT, row, reinterpret_cast<LPARAM>(text));
        SIZE size = {};
        if (GetTextExtentPoint32A(dc, text, static_cast<int>(length), &size) && size.cx > widest)
            widest = size.cx;
    }
    if (previous)
        SelectObject(dc, previous);
    ReleaseDC(window_, dc);
    // The list's scroll bar, its border and the rows' margins.
    widest += GetSystemMetrics(SM_CXVSCROLL) + 4 * GetSystemMetrics(SM_CXEDGE) + 4;
    // A width below the box's own leaves the list as wide as the box.
    SendMessageA(window_, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(widest), 0);
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
