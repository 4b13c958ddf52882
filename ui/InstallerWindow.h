#pragma once
// The installer window object that every install mode is built around: it owns the top-level window
// and its message loop, and the state that the installer thread reports into.
#include <windows.h>

#include <map>
#include <string>

#include "app/ScopedWin.h"
#include "engine/InstallStage.h"

namespace tessara {

// The Windows Installer's code for a failed installation, returned by "/silent" runs that did not complete.
constexpr int kSilentInstallFailedExitCode = 1603;

class CTessaraAppInstallerWindow : public CInstallerSession {
public:
    CTessaraAppInstallerWindow(HINSTANCE instance, bool silent);
    ~CTessaraAppInstallerWindow();

    // Reads the payload URL, creates the window and runs the message loop. Returns the quit code, or 1
    // when "/zipUrl" lacks its value or the window cannot be created. Returns only after the last
    // installer thread has ended.
    int Run(bool silent);

    void SetProgressRange(int range) override;
    void SetProgress(int percent) override;
    void OnFinished() override;

    // Starts an installer thread unless one is still running; false when none was started.
    bool StartInstallerThread(LPTHREAD_START_ROUTINE routine);

private:
    static LRESULT CALLBACK InteractiveWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK SilentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static CTessaraAppInstallerWindow* FromWindow(HWND window, UINT message, LPARAM lParam);
    void WaitForWorker();
    void InvalidateProgress();

    HINSTANCE m_instance;
    ULONG_PTR m_gdiplusToken = 0;
    int m_progressRange = 0;
    unique_handle m_workerThread;
    RECT m_statusRect{};
    RECT m_progressRect{};
    RECT m_messageRect{};
    HWND m_emailLink = nullptr;
};

}  // namespace tessara
