#pragma once
// The installer window: it shows a run (engine/InstallerRun.h), paints its state, asks the user the
// run's questions and forwards the user's clicks to it. It owns the top-level window and its message
// loop; the silent modes get a plain window that closes when the run has ended.
#include <windows.h>

#include <atomic>
#include <map>
#include <string>

#include "app/ScopedWin.h"
#include "app/InstallStage.h"
#include "engine/InstallerRun.h"
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
// Posted from the run's thread: the run has ended (show its result), and the run began a step or
// started or stopped waiting for another run.
constexpr UINT WM_INSTALL_FINISHED = WM_USER + 1;
constexpr UINT WM_RUN_STATUS_CHANGED = WM_USER + 4;

// Shows the user's installer window of another process in front (restored when minimised); false when
// none appeared within a few seconds.
bool BringInstallerWindowToFront();

class CTessaraAppInstallerWindow : public IRunView {
public:
    // The window of a run in the run's mode; the run outlives the window.
    CTessaraAppInstallerWindow(HINSTANCE instance, CInstallerRun& run);
    ~CTessaraAppInstallerWindow();

    // Reads the payload URL, creates the window and runs the message loop; false when "/zipUrl" lacks
    // its value or no window could be created. Returns only after the run's last worker has ended. For
    // the package, a URL it passes without credentials gets those remembered for it.
    bool Run();

    // What the run reports, on its thread.
    void SetProgressRange(int range) override;
    void SetProgress(int percent) override;
    void OnFinished() override;
    bool IsCancelled() override;
    void OnRunStatusChanged() override;
    bool AllowClosingApplication() override;

private:
    static LRESULT CALLBACK InteractiveWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK SilentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK LinkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam);
    static CTessaraAppInstallerWindow* FromWindow(HWND window, UINT message, LPARAM lParam);
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
    void OnUninstallEnded(HWND window);
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
    CInstallerRun& m_run;
    const bool m_silent;
    // Whether the silent run began; set before the window is made, on the window's thread.
    bool m_silentRunBegun = false;
    // Read by the run's thread when it reports.
    std::atomic<HWND> m_window{nullptr};
    ScopedGdiplus m_gdiplus;
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
