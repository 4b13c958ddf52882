#pragma once
// The screen as assistive technology reads it. The status line, the title, the body and the progress
// bar are painted, so they have no windows a screen reader could ask; each gets a child window of its
// own that paints nothing, lies over what the paint drew, and carries its current text or value. The
// children are a second reader of the same Screen the paint draws, and announce what changed.
#include <windows.h>

#include <array>

#include "ui/Painting.h"
#include "ui/Screen.h"

namespace tessara {

class CAccessibleScreen {
public:
    void Create(HWND parent, HINSTANCE instance);

    // Brings the children in step with the screen and where it was painted; names and values that
    // changed are announced, and a result screen that appears raises an alert.
    void Show(const Screen& screen, const WindowLayout& layout, const PaintedScreen& painted);

    // In reading order: status line, progress bar (null on a screen without progress), title, body.
    std::array<HWND, 4> Children() const { return {m_status, m_progress, m_title, m_body}; }

private:
    void ShowProgress(const Screen& screen, const RECT& bar);

    HINSTANCE m_instance = nullptr;
    HWND m_status = nullptr;
    HWND m_progress = nullptr;
    HWND m_title = nullptr;
    HWND m_body = nullptr;
    ScreenKind m_kind = ScreenKind::Working;
    int m_progressValue = -1;
};

}  // namespace tessara
