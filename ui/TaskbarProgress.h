#pragma once
// The window's taskbar button as a second progress bar: it fills while a run works, turns to the error
// state on a failure screen and clears on every other screen, so a minimised window still tells.
#include <windows.h>
#include <shobjidl.h>

#include "app/ScopedWin.h"
#include "ui/Screen.h"

namespace tessara {

class CTaskbarProgress {
public:
    // The message the shell sends once the window's taskbar button exists; before it the button
    // takes no progress.
    static UINT ButtonCreatedMessage();

    void Attach(HWND window);
    void Show(const Screen& screen);

private:
    HWND m_window = nullptr;
    ComPtr<ITaskbarList3> m_taskbar;
    TBPFLAG m_state = TBPF_NOPROGRESS;
    int m_progress = -1;
};

}  // namespace tessara
