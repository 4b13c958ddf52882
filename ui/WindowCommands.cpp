// The interactive window's screens and commands: what it creates when it opens, the controls of each
// result screen, the buttons, the close question, the carousel and the two links.
#include <algorithm>

#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/InstallLocations.h"
#include "system/ProcessControl.h"
#include "system/ErrorReport.h"
#include "system/Registration.h"
#include "system/Shortcuts.h"
#include "ui/HelpLink.h"
#include "ui/InstallerWindow.h"

namespace tessara {
namespace {

constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_FLAT;
constexpr DWORD kCheckBoxStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX;
// Centred in a control one focus margin larger than the label on every side.
constexpr DWORD kLinkStyle = WS_CHILD | WS_TABSTOP | SS_NOTIFY | SS_CENTER | SS_CENTERIMAGE;
constexpr UINT kCarouselPeriodMs = 3000;
constexpr int kLinkColumnWidth = 400;

// Any answer but "the key does not exist" counts as an installation: a key we may not open is still one.
bool IsInstallationRegistered() {
    unique_hkey key;
    return ::RegOpenKeyExW(HKEY_CURRENT_USER, UninstallKeyPath, 0, KEY_ALL_ACCESS, key.put()) !=
           ERROR_FILE_NOT_FOUND;
}

RECT ClientRect(HWND window) {
    RECT client{};
    ::GetClientRect(window, &client);
    return client;
}

struct OwnedWindowSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK MatchOwnedWindow(HWND candidate, LPARAM parameter) {
    auto& search = *reinterpret_cast<OwnedWindowSearch*>(parameter);
    if (::GetWindow(candidate, GW_OWNER) != search.owner || !::IsWindowVisible(candidate)) return TRUE;
    search.found = candidate;
    return FALSE;
}

// A visible window the owner owns, on any thread.
HWND FindOwnedWindow(HWND owner) {
    OwnedWindowSearch search{owner, nullptr};
    if (owner) ::EnumWindows(MatchOwnedWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void DestroyControl(HWND& control) {
    if (control) ::DestroyWindow(control);
    control = nullptr;
}

// Lays out controls of the given widths side by side, centred in the row, `gap` pixels apart.
std::vector<RECT> CentreSideBySide(const RECT& row, int clientWidth, std::initializer_list<int> widths,
                                   int gap) {
    int total = gap * (static_cast<int>(widths.size()) - 1);
    for (const int width : widths) total += width;
    std::vector<RECT> rects;
    int left = (clientWidth - total) / 2;
    for (const int width : widths) {
        rects.push_back({left, row.top, left + width, row.bottom});
        left += width + gap;
    }
    return rects;
}

}  // namespace

// The row of the buttons at the bottom, for a button of the given width centred in it.
RECT CTessaraAppInstallerWindow::ButtonRow(HWND hwnd, int width) const {
    const RECT client = ClientRect(hwnd);
    const int height = std::max<int>(Measure(hwnd, m_texts.exit, ControlKind::Button).cy + Px(10), Px(23));
    const int left = (client.right - width) / 2;
    return {left, client.bottom - Px(20) - height, left + width, client.bottom - Px(20)};
}

// Room around the label, and never narrower than the system's own dialogs make a button (75 x 23 at
// 96 dots per inch), so that a short label still gives a button that looks like one and is easy to hit.
int CTessaraAppInstallerWindow::ButtonWidth(HWND hwnd, const std::wstring& label, HFONT font) const {
    return std::max<int>(Measure(hwnd, label, ControlKind::Button, font).cx + Px(20), Px(75));
}

HWND CTessaraAppInstallerWindow::CreateControl(HWND hwnd, const wchar_t* className, const std::wstring& text,
                                               DWORD style, int id, const RECT& rect, HFONT font) {
    const HWND control = ::CreateWindowExW(
        0, className, text.c_str(), style, rect.left, rect.top, rect.right - rect.left,
        rect.bottom - rect.top, hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), m_instance, nullptr);
    if (control) ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
}

// A link whose label starts at `left` and ends `bottom`; the focus margin lies around it.
HWND CTessaraAppInstallerWindow::CreateLink(HWND hwnd, const std::wstring& text, int left, int bottom,
                                            bool visible) {
    const SIZE size = Measure(hwnd, text, ControlKind::Link);
    const RECT rect{left - kLinkFocusMargin, bottom + kLinkFocusMargin - size.cy,
                    left - kLinkFocusMargin + size.cx, bottom + kLinkFocusMargin};
    const HWND link = CreateControl(hwnd, L"Static", text, kLinkStyle | (visible ? WS_VISIBLE : 0), 0, rect,
                                    m_resources.normalFont.get());
    if (!link) return nullptr;
    ::SetWindowLongPtrW(link, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_linkProcedures[link] = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
        link, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CTessaraAppInstallerWindow::LinkProc)));
    return link;
}

ScreenState CTessaraAppInstallerWindow::CurrentState() const {
    ScreenState state;
    state.choiceMode = m_choiceMode;
    state.finished = m_run.finished.load();
    state.error = m_run.error.load();
    state.cancelRequested = m_run.cancelRequested.load();
    state.stage = m_run.stage.load();
    state.progress = m_run.progress.load();
    state.carouselIndex = m_carouselIndex;
    state.reportNotSent = m_reportNotSent;
    state.waiting = (m_running || m_uninstalling) && m_run.IsWaiting();
    state.refusedOlderVersion = m_run.refusedOlderVersion.load();
    state.lockUnusable =
        !m_running && !m_uninstalling && m_run.LastOutcome() == CInstallerRun::Outcome::LockUnusable;
    return state;
}

// The label sizes of the window's controls, each in the font it is drawn with.
SIZE CTessaraAppInstallerWindow::Measure(HWND hwnd, const std::wstring& label, ControlKind kind,
                                         HFONT font) const {
    const ScopedWindowDC dc(hwnd);
    return MeasureControl(dc.get(), font ? font : m_resources.normalFont.get(), label, kind);
}

void CTessaraAppInstallerWindow::OnCreate(HWND hwnd) {
    m_resources = CreatePaintResources(m_instance, WindowDpi(hwnd));
    m_texts = LoadWindowTexts();
    const bool registered = IsInstallationRegistered();
    const RECT client = ClientRect(hwnd);
    FitTaglineToBanner(m_resources, ScopedWindowDC(hwnd).get(), m_texts.tagline, client.right);
    m_layout = ComputeWindowLayout(client, m_resources);
    m_accessible.Create(hwnd, m_instance);

    m_helpLink = CreateLink(hwnd, m_texts.helpLink, (client.right - Px(kLinkColumnWidth)) / 2 + 1,
                            client.bottom - Px(9), true);
    const int emailWidth = Measure(hwnd, m_texts.emailLink, ControlKind::Link).cx;
    m_emailLink = CreateLink(hwnd, m_texts.emailLink, client.right - emailWidth + kLinkFocusMargin,
                             client.bottom - Px(9), false);
    ::SetTimer(hwnd, kCarouselTimer, kCarouselPeriodMs, nullptr);

    m_choiceMode = registered;
    if (!m_choiceMode) {
        FocusScreen();
        StartRun(hwnd);
        return;
    }
    ShowChoiceControls(hwnd);
}

// Install and Uninstall side by side, for a registered installation. A button already there stays
// (after a failed removal, Uninstall), so only the missing one is made.
void CTessaraAppInstallerWindow::ShowChoiceControls(HWND hwnd) {
    const int installWidth = ButtonWidth(hwnd, m_texts.install, m_resources.boldFont.get());
    const int mainWidth = ButtonWidth(hwnd, m_texts.uninstall);
    const auto row =
        CentreSideBySide(ButtonRow(hwnd, 0), ClientRect(hwnd).right, {installWidth, mainWidth}, Px(10));
    if (!m_installButton)
        m_installButton = CreateControl(hwnd, L"Button", m_texts.install, kButtonStyle, IDC_INSTALL_BUTTON,
                                        row[0], m_resources.boldFont.get());
    if (!m_mainButton)
        m_mainButton = CreateControl(hwnd, L"Button", m_texts.uninstall, kButtonStyle, IDC_MAIN_BUTTON,
                                     row[1], m_resources.normalFont.get());
    m_shownScreen = ScreenKind::Choice;
    FocusScreen();
}

void CTessaraAppInstallerWindow::OnPaint(HWND hwnd) {
    PAINTSTRUCT paint{};
    const HDC dc = ::BeginPaint(hwnd, &paint);
    const RECT client = ClientRect(hwnd);
    const Screen screen = ComposeScreen(CurrentState(), m_texts);
    m_painted = PaintScreen(dc, client, m_layout, screen, m_resources);
    ::EndPaint(hwnd, &paint);
    PublishScreen(screen);

    RECT link{};
    ::GetWindowRect(m_emailLink, &link);
    const int width = link.right - link.left;
    ::SetWindowPos(m_emailLink, nullptr, (client.right - width) / 2,
                   m_painted.body.bottom + Px(15) - kLinkFocusMargin, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// What screen readers and the taskbar button are told; where the texts stand comes from the last paint.
void CTessaraAppInstallerWindow::PublishScreen(const Screen& screen) {
    m_accessible.Show(screen, m_layout, m_painted);
    m_taskbar.Show(screen);
}

// New fonts, colours and art for the monitor's density or the user's theme; the controls take the new
// fonts before the old ones go.
void CTessaraAppInstallerWindow::OnDisplayChanged(HWND hwnd, UINT dpi, const RECT* suggested) {
    PaintResources resources = CreatePaintResources(m_instance, dpi);
    const int from = static_cast<int>(m_resources.dpi);
    const LONG oldBottom = ClientRect(hwnd).bottom;
    if (suggested)
        ::SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                       suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    const RECT client = ClientRect(hwnd);
    for (HWND child = ::GetWindow(hwnd, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        const HFONT font = child == m_installButton ? resources.boldFont.get() : resources.normalFont.get();
        ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        // Every control hangs from the bottom of the client area, at its distance scaled, so that a
        // client area shorter than the scaled one (a frame fitted to the work area) takes its height
        // from the banner, as the layout does, and not from the buttons.
        RECT rect{};
        ::GetWindowRect(child, &rect);
        ::MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&rect), 2);
        const auto scale = [&](LONG length) { return ::MulDiv(length, static_cast<int>(dpi), from); };
        ::SetWindowPos(child, nullptr, scale(rect.left), client.bottom - scale(oldBottom - rect.top),
                       scale(rect.right - rect.left), scale(rect.bottom - rect.top),
                       SWP_NOZORDER | SWP_NOACTIVATE);
    }
    m_resources = std::move(resources);
    FitTaglineToBanner(m_resources, ScopedWindowDC(hwnd).get(), m_texts.tagline, client.right);
    m_layout = ComputeWindowLayout(client, m_resources);
    ::RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
}

void CTessaraAppInstallerWindow::DestroyResultControls() {
    DestroyControl(m_mainButton);
    DestroyControl(m_retryButton);
    DestroyControl(m_installButton);
    DestroyControl(m_desktopBox);
    DestroyControl(m_startMenuBox);
}

// The controls of the screen the run ended on, built once per run.
void CTessaraAppInstallerWindow::ShowResultControls(HWND hwnd) {
    DestroyResultControls();
    const Screen screen = ComposeScreen(CurrentState(), m_texts);
    m_shownScreen = screen.kind;
    const RECT client = ClientRect(hwnd);
    const int mainWidth = ButtonWidth(hwnd, screen.mainLabel);
    RECT mainRect = ButtonRow(hwnd, mainWidth);
    if (screen.controls & ControlRetryButton) {
        const int retryWidth = std::max(mainWidth, ButtonWidth(hwnd, m_texts.retry));
        const auto row = CentreSideBySide(mainRect, client.right, {retryWidth, mainWidth}, Px(10));
        m_retryButton = CreateControl(hwnd, L"Button", m_texts.retry, kButtonStyle, IDC_RETRY_BUTTON, row[0],
                                      m_resources.normalFont.get());
        mainRect = row[1];
    }
    m_mainButton = CreateControl(hwnd, L"Button", screen.mainLabel, kButtonStyle, IDC_MAIN_BUTTON, mainRect,
                                 m_resources.normalFont.get());

    if (screen.controls & ControlCheckBoxes) {
        const SIZE desktop = Measure(hwnd, m_texts.desktopShortcut, ControlKind::CheckBox);
        const SIZE startMenu = Measure(hwnd, m_texts.startMenuShortcut, ControlKind::CheckBox);
        const int left = (client.right - std::max<LONG>(desktop.cx, startMenu.cx)) / 2 + 1;
        const RECT desktopRect{left, mainRect.top - Px(39) - desktop.cy, left + desktop.cx,
                               mainRect.top - Px(39)};
        const RECT startMenuRect{left, desktopRect.top - Px(4) - startMenu.cy, left + startMenu.cx,
                                 desktopRect.top - Px(4)};
        m_startMenuBox = CreateControl(hwnd, L"Button", m_texts.startMenuShortcut, kCheckBoxStyle,
                                       IDC_START_MENU_BOX, startMenuRect, m_resources.normalFont.get());
        m_desktopBox = CreateControl(hwnd, L"Button", m_texts.desktopShortcut, kCheckBoxStyle,
                                     IDC_DESKTOP_BOX, desktopRect, m_resources.normalFont.get());
        ::SendMessageW(m_startMenuBox, BM_SETCHECK, BST_CHECKED, 0);
    }
    ::ShowWindow(m_emailLink, (screen.controls & ControlEmailLink) ? SW_SHOW : SW_HIDE);
    FocusScreen();
}

void CTessaraAppInstallerWindow::StartRun(HWND hwnd) {
    OnSetCloseBox(hwnd, false);
    m_running = m_run.StartInstallation();
    ::InvalidateRect(hwnd, nullptr, FALSE);
}

// The one report of a run's end. A run that rolled back after a confirmed cancel, or was left while
// it waited, closes the window, as does one whose user would not have the application closed; a run
// that got past its commit before the cancel reached it shows what it did.
void CTessaraAppInstallerWindow::OnRunEnded(HWND hwnd) {
    if (m_uninstalling) {
        OnUninstallEnded(hwnd);
        return;
    }
    if (!m_running) return;
    m_running = false;
    const CInstallerRun::Outcome outcome = m_run.LastOutcome();
    if (outcome == CInstallerRun::Outcome::Declined) {
        LeaveResultScreen(hwnd);
        return;
    }
    if (outcome == CInstallerRun::Outcome::Left || m_run.cancelRequested.load()) {
        if (m_run.stage.load() != StageComplete) {
            LogWrite("The user cancelled the installation");
            ::DestroyWindow(hwnd);
            return;
        }
        LogWrite("The installation was complete before the cancel could stop it");
        m_run.cancelRequested.exchange(false);
    }
    OnSetCloseBox(hwnd, true);
    ShowResultControls(hwnd);
    // A user who minimised the window or went on with other work learns that the run has ended.
    if (::GetForegroundWindow() != hwnd) {
        FLASHWINFO flash{sizeof(flash), hwnd, FLASHW_TRAY | FLASHW_TIMERNOFG, 0, 0};
        ::FlashWindowEx(&flash);
    }
    ::InvalidateRect(hwnd, nullptr, FALSE);
}

// While a run works the close box is greyed, not the whole system menu taken away, so that the window
// can still be minimised. A close request that still arrives (Alt+F4, the taskbar's Close) asks the
// cancel question through WM_SYSCOMMAND.
void CTessaraAppInstallerWindow::OnSetCloseBox(HWND hwnd, bool shown) {
    ::EnableMenuItem(::GetSystemMenu(hwnd, FALSE), SC_CLOSE, MF_BYCOMMAND | (shown ? MF_ENABLED : MF_GRAYED));
    // Without activating: the window must never come up over a question it owns.
    ::SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

// A step began, or the run started or stopped waiting for another run. A waiting run can be left with
// the close box; once it works, the box is greyed again.
void CTessaraAppInstallerWindow::OnRunStatusChanged(HWND hwnd) {
    if (m_running || m_uninstalling) {
        OnSetCloseBox(hwnd, m_run.IsWaiting());
        FocusScreen();
    }
    ::InvalidateRect(hwnd, nullptr, FALSE);
}

void CTessaraAppInstallerWindow::OnCommand(HWND hwnd, int id) {
    switch (id) {
        case IDC_MAIN_BUTTON:
            if (m_choiceMode) {
                OnUninstall(hwnd, false);
            } else {
                OnClose(hwnd);
            }
            break;
        case IDC_RETRY_BUTTON:
            OnRetry(hwnd);
            break;
        case IDC_INSTALL_BUTTON:
            OnInstall(hwnd);
            break;
        case IDCANCEL:  // Esc: the close box's question while a run works, closing a result screen
            OnClose(hwnd);
            break;
        default:
            break;
    }
}

// Leaving the result screen is when the shortcut choice counts, read once from the boxes as the user
// left them.
void CTessaraAppInstallerWindow::LeaveResultScreen(HWND hwnd) {
    if (m_mainButton) ::EnableWindow(m_mainButton, FALSE);
    if (!m_choiceMode && m_run.stage.load() == StageComplete && !m_run.error.load()) {
        const bool startMenu = ::SendMessageW(m_startMenuBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
        const bool desktop = ::SendMessageW(m_desktopBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
        UpdateShortcuts(desktop, startMenu, GetInstallFolder());
    }
    ::DestroyWindow(hwnd);
}

void CTessaraAppInstallerWindow::OnClose(HWND hwnd) {
    // A cancel once confirmed stands: the window waits for the run to roll back, and asks nothing more.
    if (m_questionOpen || m_run.cancelRequested.load()) return;
    const bool working = m_running || m_uninstalling;
    // A run that waits for another has changed nothing, so it is left without a question; its end
    // closes the window.
    if (working && m_run.Leave()) {
        LogWrite("The user left the run that waited for another setup run");
        // Stands like a confirmed cancel: the window closes at the run's end and asks nothing more.
        m_run.Cancel();
        return;
    }
    // A removal cannot be stopped halfway; its end brings the close box back.
    if (m_uninstalling) return;
    // Where nothing runs (a result, or the choice before any), closing loses nothing.
    if (!working || m_run.finished.load()) {
        LeaveResultScreen(hwnd);
        return;
    }
    // No by default: Esc then Enter must not throw a running installation away.
    const bool yes = Ask(hwnd, m_texts.cancelQuestion, m_texts.cancelCaption,
                         MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
    if (m_run.finished.load()) {
        // The run ended while the question was open; its result screen is up, and stays.
        if (yes) LogWrite("The installation had ended before the cancel was confirmed");
        return;
    }
    if (!yes) return;
    LogWrite("The user asked to cancel the installation");
    m_run.Cancel();
    // The run rolls back what it did; its end closes the window.
    ::InvalidateRect(hwnd, &m_layout.status, FALSE);
}

void CTessaraAppInstallerWindow::OnRetry(HWND hwnd) {
    if (m_running) return;
    m_reportPath.clear();
    m_reportNotSent = false;
    ::ShowWindow(m_emailLink, SW_HIDE);
    DestroyResultControls();
    m_shownScreen = ScreenKind::Working;
    FocusScreen();
    StartRun(hwnd);
}

void CTessaraAppInstallerWindow::OnInstall(HWND hwnd) {
    if (m_running) return;
    DestroyResultControls();
    m_choiceMode = false;
    m_shownScreen = ScreenKind::Working;
    FocusScreen();
    StartRun(hwnd);
}

void CTessaraAppInstallerWindow::OnUninstall(HWND hwnd, bool confirmed) {
    if (m_uninstalling) return;
    if (m_run.finished.load()) {
        OnClose(hwnd);
        ::PostQuitMessage(0);
        return;
    }
    // One click on the wrong button must not remove the application.
    if (!confirmed && Ask(hwnd, m_texts.uninstallQuestion, kWindowTitle, MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    while (IsApplicationRunning()) {
        if (Ask(hwnd, m_texts.uninstallBlocked, m_texts.closeApplicationCaption,
                MB_YESNO | MB_ICONQUESTION) != IDYES)
            return;
    }
    DestroyControl(m_installButton);
    ::EnableWindow(m_mainButton, FALSE);
    OnSetCloseBox(hwnd, false);
    m_uninstalling = m_run.StartRemoval();
    // The focus leaves the disabled button for a control that takes keys.
    FocusScreen();
    if (!m_uninstalling) OnUninstallEnded(hwnd);
}

// A removal that rolled back left the installation as it was, and the screen must not call it removed.
void CTessaraAppInstallerWindow::OnUninstallEnded(HWND hwnd) {
    m_uninstalling = false;
    const CInstallerRun::Outcome outcome = m_run.LastOutcome();
    if (outcome == CInstallerRun::Outcome::Left) {
        ::DestroyWindow(hwnd);
        return;
    }
    OnSetCloseBox(hwnd, true);
    ::EnableWindow(m_mainButton, TRUE);
    if (outcome == CInstallerRun::Outcome::LockUnusable) {
        // Nothing was removed and no retry can help: the failure screen says why, and Exit closes.
        m_choiceMode = false;
        ShowResultControls(hwnd);
        ::InvalidateRect(hwnd, nullptr, FALSE);
        return;
    }
    if (outcome != CInstallerRun::Outcome::Succeeded) {
        ShowChoiceControls(hwnd);
        // Closing programs helps only where a program holds the files; a folder that cannot be changed
        // for another reason is only reported, and Uninstall stays on the screen.
        if (!IsApplicationRunning() && FindFileInUse(GetInstallFolder()).empty()) {
            LogWrite("The installation's files could not be removed, and no program holds them");
            Ask(hwnd, m_texts.uninstallFilesFailed, kWindowTitle, MB_OK | MB_ICONERROR);
            return;
        }
        if (Ask(hwnd, m_texts.uninstallFailed, m_texts.closeApplicationCaption, MB_YESNO | MB_ICONQUESTION) ==
            IDYES)
            OnUninstall(hwnd, true);
        return;
    }

    const RECT row = ButtonRow(hwnd, ButtonWidth(hwnd, m_texts.done));
    ::SetWindowPos(m_mainButton, nullptr, row.left, row.top, row.right - row.left, row.bottom - row.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    ::SetWindowTextW(m_mainButton, m_texts.done.c_str());
    m_shownScreen = ScreenKind::Uninstalled;
    FocusScreen();
    ::InvalidateRect(hwnd, nullptr, FALSE);
}

HWND CTessaraAppInstallerWindow::DefaultButton() const {
    switch (m_shownScreen) {
        case ScreenKind::Choice:
            return m_installButton;
        case ScreenKind::DownloadFailed:
            return m_retryButton;
        case ScreenKind::Working:
            return nullptr;
        default:
            return m_mainButton;
    }
}

// Tab follows the reading order: what the screen says, its choices, its buttons, then the links. The
// focus starts on the screen's default button, or on the help link while a run works.
void CTessaraAppInstallerWindow::FocusScreen() {
    const auto readers = m_accessible.Children();
    for (const HWND control : {readers[0], readers[1], readers[2], readers[3], m_startMenuBox, m_desktopBox,
                               m_retryButton, m_installButton, m_mainButton, m_helpLink, m_emailLink}) {
        if (control)
            ::SetWindowPos(control, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    const HWND defaultButton = DefaultButton();
    for (const HWND button : {m_retryButton, m_installButton, m_mainButton}) {
        if (button)
            ::SendMessageW(button, BM_SETSTYLE, BS_FLAT | (button == defaultButton ? BS_DEFPUSHBUTTON : 0),
                           TRUE);
    }
    const HWND target = defaultButton && ::IsWindowEnabled(defaultButton) ? defaultButton : m_helpLink;
    // A question of the window's keeps the focus: taking it would bring the window up over its own box,
    // disabled. Nor does a window in the background take it from the user's other work. The control gets
    // the focus when the window is active again.
    m_lastFocus = target;
    if (!QuestionOpen() && ::GetForegroundWindow() == m_window.load()) ::SetFocus(target);
}

// Any box the window owns that is on the screen: its own questions, and those of the worker, which
// belong to the worker's thread.
bool CTessaraAppInstallerWindow::QuestionOpen() const {
    return m_questionOpen || FindOwnedWindow(m_window.load());
}

int CTessaraAppInstallerWindow::Ask(HWND hwnd, const std::wstring& text, const std::wstring& caption,
                                    UINT type) {
    if (const HWND focus = ::GetFocus(); focus && ::IsChild(hwnd, focus)) m_lastFocus = focus;
    m_questionOpen = true;
    const int answer = ::MessageBoxW(hwnd, text.c_str(), caption.c_str(), type);
    m_questionOpen = false;
    // The window is active again before the box has returned, while the question still counts as
    // open; without this the focus would stay on the frame, where no button shows it and a screen
    // reader hears only the title.
    OnActivate(hwnd, true);
    return answer;
}

// As a dialog does: the focus leaves with the window and comes back to the same control.
void CTessaraAppInstallerWindow::OnActivate(HWND hwnd, bool active) {
    if (!active) {
        const HWND focus = ::GetFocus();
        if (focus && ::IsChild(hwnd, focus)) m_lastFocus = focus;
        return;
    }
    if (QuestionOpen()) return;
    const bool usable = m_lastFocus && ::IsWindow(m_lastFocus) && ::IsChild(hwnd, m_lastFocus) &&
                        ::IsWindowVisible(m_lastFocus) && ::IsWindowEnabled(m_lastFocus);
    if (usable) {
        ::SetFocus(m_lastFocus);
    } else {
        FocusScreen();
    }
}

void CTessaraAppInstallerWindow::OnCarousel(HWND hwnd) {
    const int count = static_cast<int>(m_texts.carouselTitles.size());
    m_carouselIndex = count ? (m_carouselIndex + 1) % count : 0;
    ::InvalidateRect(hwnd, &m_layout.message, FALSE);
}

// Hands the failure's report to the mail program. Where none takes it, the window says so and shows
// the report in its folder, so that the user can still pass it on; later clicks offer the same file.
void CTessaraAppInstallerWindow::OfferErrorReport(HWND hwnd) {
    if (m_reportPath.empty()) m_reportPath = WriteErrorReport(static_cast<uint32_t>(m_run.stage.load()));
    if (SendErrorReport(m_reportPath)) return;
    LogFormat("No mail program took the error report %S", m_reportPath);
    m_reportNotSent = true;
    ::InvalidateRect(hwnd, &m_layout.message, FALSE);
    ShowFileInFolder(m_reportPath);
}

void CTessaraAppInstallerWindow::OnLinkClicked(HWND link) {
    if (link == m_helpLink) {
        OpenHelpPage(m_window.load());
    } else if (link == m_emailLink) {
        OfferErrorReport(m_window.load());
    }
}

// The links behave as buttons do: a click, Enter or Space acts, and the focused one shows a focus
// rectangle in the margin around its label.
LRESULT CALLBACK CTessaraAppInstallerWindow::LinkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CTessaraAppInstallerWindow*>(::GetWindowLongPtrW(link, GWLP_USERDATA));
    const auto previous = self->m_linkProcedures.find(link);
    const auto callPrevious = [&] {
        if (previous == self->m_linkProcedures.end()) return ::DefWindowProcW(link, message, wParam, lParam);
        return ::CallWindowProcW(previous->second, link, message, wParam, lParam);
    };
    switch (message) {
        case WM_MOUSEMOVE:
            ::SetCursor(::LoadCursorW(nullptr, IDC_HAND));
            return 0;
        case WM_LBUTTONUP:
            self->OnLinkClicked(link);
            return 0;
        case WM_GETDLGCODE: {
            const auto* key = reinterpret_cast<const MSG*>(lParam);
            const bool activates = key && (key->message == WM_KEYDOWN || key->message == WM_CHAR) &&
                                   (key->wParam == VK_RETURN || key->wParam == VK_SPACE);
            return callPrevious() | (activates ? DLGC_WANTMESSAGE : 0);
        }
        case WM_KEYDOWN:
            if (wParam == VK_RETURN || wParam == VK_SPACE) {
                self->OnLinkClicked(link);
                return 0;
            }
            break;
        case WM_CHAR:
            if (wParam == L'\r' || wParam == L' ') return 0;
            break;
        case WM_SETFOCUS:
        case WM_KILLFOCUS: {
            const LRESULT result = callPrevious();
            // The label is drawn over the parent's painting, so the parent repaints what the old mark
            // covered.
            RECT rect{};
            ::GetWindowRect(link, &rect);
            ::MapWindowPoints(nullptr, ::GetParent(link), reinterpret_cast<POINT*>(&rect), 2);
            ::RedrawWindow(::GetParent(link), &rect, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
            return result;
        }
        case WM_PAINT: {
            const LRESULT result = callPrevious();
            if (::GetFocus() == link) {
                const ScopedWindowDC dc(link);
                RECT client{};
                ::GetClientRect(link, &client);
                ::DrawFocusRect(dc.get(), &client);
            }
            return result;
        }
        default:
            break;
    }
    return callPrevious();
}

}  // namespace tessara
