#pragma once
// The installer window object that every install mode is built around: it owns the top-level window
// and its message loop, and the state that the installer thread reports into.
#include <windows.h>

#include <map>
#include <string>

#include "app/ScopedWin.h"
#include "app/InstallStage.h"
#include "ui/AccessibleScreen.h"
#include "ui/Painting.h"
#include "ui/Screen.h"
#include "ui/TaskbarProgress.h"

namespace tessara {

// Command ids of the window's buttons and check boxes, and its timers.
constexpr int IDC_MAIN_BUTTON = 1235;
constexpr int IDC_RETRY_BUTTON = 1236;
constexpr int IDC_INSTALL_BUTTON = 1237;
constexpr int IDC_DESKTOP_BOX = 1238;
constexpr int IDC_START_MENU_BOX = 1239;
constexpr UINT_PTR kCarouselTimer = 1234;
// Runs while the window is minimised, when nothing is painted, so that screen readers and the taskbar
// button still follow the run.
constexpr UINT_PTR kMinimizedTimer = 1240;
// The window's title, and the caption of its own questions that have no caption of their own.
constexpr wchar_t kWindowTitle[] = L"Orvix Tessara";
// Posted by the window's removal when it has ended; wParam 1 when it went through.
constexpr UINT WM_UNINSTALL_ENDED = WM_USER + 3;

// Shows the user's installer window of another process in front (restored when minimised); false when
// none appeared within a few seconds.
bool BringInstallerWindowToFront();

class CTessaraAppInstallerWindow : public CInstallerSession {
public:
    CTessaraAppInstallerWindow(HINSTANCE instance, bool silent);
    ~CTessaraAppInstallerWindow();

    // Reads the payload URL, creates the window and runs the message loop. Returns the quit code, or 1
    // when "/zipUrl" lacks its value or no window could be created before any run began. A "/silent"
    // run that did not complete returns the failed run's exit code (app/ExitCodes.h). Returns only after the
    // last installer thread has ended. For the package, a URL it passes without credentials gets those
    // remembered for it.
    int Run(bool silent, bool forPackage = false);

    void SetProgressRange(int range) override;
    void SetProgress(int percent) override;
    void OnFinished() override;

    // Starts an installer thread; false when none was started. The window starts one only after the
    // previous run has reported its end, so what is waited for here is at most that worker's return.
    bool StartInstallerThread(LPTHREAD_START_ROUTINE routine);

private:
    static LRESULT CALLBACK InteractiveWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK SilentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK LinkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam);
    static CTessaraAppInstallerWindow* FromWindow(HWND window, UINT message, LPARAM lParam);
    void WaitForWorker();
    int RunResult(bool silentMode, int quitCode) const;
    void InvalidateProgress();

    // Screens and commands.
    ScreenState CurrentState() const;
    void OnCreate(HWND window);
    void OnPaint(HWND window);
    void PublishScreen(const Screen& screen);
    void OnDisplayChanged(HWND window, UINT dpi, const RECT* suggested);
    void StartRun(HWND window);
    void OnRunEnded(HWND window);
    void OnRunStatusChanged(HWND window);
    void OnActivate(HWND window, bool active);
    void OnSetCloseBox(HWND window, bool shown);
    void OnCommand(HWND window, int id);
    void OnClose(HWND window);
    void LeaveResultScreen(HWND window);
    void OnRetry(HWND window);
    void OnInstall(HWND window);
    void OnUninstall(HWND window, bool confirmed);
    void OnUninstallEnded(HWND window, bool uninstalled);
    void OnCarousel(HWND window);
    void OnLinkClicked(HWND link);
    void OfferErrorReport(HWND window);
    void ShowResultControls(HWND window);
    void ShowChoiceControls(HWND window);
    void DestroyResultControls();
    HWND CreateControl(HWND window, const wchar_t* className, const std::wstring& text, DWORD style, int id,
                       const RECT& rect, HFONT font);
    HWND CreateLink(HWND window, const std::wstring& text, int left, int bottom, bool visible);
    SIZE Measure(HWND window, const std::wstring& label, ControlKind kind, HFONT font = nullptr) const;
    RECT ButtonRow(HWND window, int width) const;
    int ButtonWidth(HWND window, const std::wstring& label, HFONT font = nullptr) const;
    // A message box owned by the window (MessageBoxW's type); the focus goes back to the control that
    // had it, or to the screen's default, when it closes.
    int Ask(HWND window, const std::wstring& text, const std::wstring& caption, UINT type);
    bool QuestionOpen() const;
    // A length of the layout at 96 dots per inch, at the window's density.
    int Px(int length) const { return Scale(length, m_resources.dpi); }
    HWND DefaultButton() const;
    void FocusScreen();

    HINSTANCE m_instance;
    ScopedGdiplus m_gdiplus;
    int m_progressRange = 0;
    unique_handle m_workerThread;
    WindowTexts m_texts;
    PaintResources m_resources;
    WindowLayout m_layout;
    PaintedScreen m_painted;
    CAccessibleScreen m_accessible;
    CTaskbarProgress m_taskbar;
    bool m_choiceMode = false;
    // Window-thread state of the commands: a run was started and has not reported its end yet; the
    // cancel question is on the screen; the window's removal runs.
    bool m_running = false;
    bool m_questionOpen = false;
    bool m_uninstalling = false;
    // The error report of the failure shown, written at the first click on the e-mail link.
    std::wstring m_reportPath;
    bool m_reportNotSent = false;
    HWND m_mainButton = nullptr;
    int m_carouselIndex = 0;
    ScreenKind m_shownScreen = ScreenKind::Working;
    HWND m_retryButton = nullptr;
    HWND m_installButton = nullptr;
    HWND m_desktopBox = nullptr;
    HWND m_startMenuBox = nullptr;
    HWND m_helpLink = nullptr;
    HWND m_emailLink = nullptr;
    // The control that has, or last had, the focus; it gets it back when the window is active again.
    HWND m_lastFocus = nullptr;
    std::map<HWND, WNDPROC> m_linkProcedures;
};

}  // namespace tessara
