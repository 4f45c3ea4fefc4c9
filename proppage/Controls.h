// Small wrappers of the page's combo boxes. They live for one message and own
// nothing: destroying a wrapper leaves its control alone.
#pragma once

#include <windows.h>

#include <string>

namespace vkprop
{

class ComboBoxControl
{
  public:
    // Throws std::runtime_error("No item") when the dialog has no such control.
    ComboBoxControl(HWND dialog, int id);
    virtual ~ComboBoxControl() = default;

    void AddString(const std::string& text);
    // The box's own prefix search from the top, ignoring case; the row found
    // becomes the box's text.
    void SelectString(const std::string& text);
    std::string GetText() const;
    // Lets the drop-down list grow wider than the box, as wide as its widest
    // row with the list's scroll bar; the box keeps its template size.
    void FitDroppedWidthToRows();

  protected:
    HWND window_;
};

// The Key and PTT boxes: their row index is the stored line number.
class LineFuncComboBox : public ComboBoxControl
{
  public:
    using ComboBoxControl::ComboBoxControl;
    ~LineFuncComboBox() override = default;

    void FillLineChoices();
    void SetCurSel(int index);
    int GetCurSel() const; // CB_ERR when no row is selected
};

} // namespace vkprop
