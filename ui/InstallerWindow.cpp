#include "ui/InstallerWindow.h"

#include <algorithm>

#include "app/Config.h"
#include "app/Log.h"
#include "app/RunLock.h"
#include "app/SystemLibrary.h"
#include "app/Text.h"
#include "res/resource.h"
#include "system/PackageRecord.h"

namespace tessara {
namespace {

constexpr wchar_t kInteractiveClass[] = L"TessaraAppInstallerWindow";
constexpr wchar_t kSilentClass[] = L"TessaraAppSilentInstallerWindow";
// The client area at 96 dots per inch: what a 448 x 600 window with a dialog frame and a caption keeps.
constexpr int kClientWidth = 442;
constexpr int kClientHeight = 574;
constexpr DWORD kInteractiveStyle = WS_VISIBLE | WS_DLGFRAME | WS_SYSMENU | WS_MINIMIZEBOX;

void RegisterWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_ICON));
    windowClass.hIconSm = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP_ICON),
                                                          IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                          ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    // One brush for both classes, alive as long as the classes are.
    static const unique_hbrush background(::CreateSolidBrush(RGB(239, 239, 239)));
    windowClass.hbrBackground = background.get();
    windowClass.lpszClassName = name;
    ::RegisterClassExW(&windowClass);
}

// The frame made no larger than the work area of the monitor it lies mostly on, and moved inside it;
// centred there when asked. The layout gives up banner height before a button would leave the screen.
RECT FitToWorkArea(const RECT& frame, bool centred) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ::GetMonitorInfoW(::MonitorFromRect(&frame, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT& work = monitor.rcWork;
    const LONG width = std::min(frame.right - frame.left, work.right - work.left);
    const LONG height = std::min(frame.bottom - frame.top, work.bottom - work.top);
    const LONG left = centred ? work.left + (work.right - work.left - width) / 2
                              : std::clamp(frame.left, work.left, work.right - width);
    const LONG top = centred ? work.top + (work.bottom - work.top - height) / 2
                             : std::clamp(frame.top, work.top, work.bottom - height);
    return {left, top, left + width, top + height};
}

// Centred on the work area of the monitor the window opens on, its client area as large as the density
// asks, and never larger than the work area.
void PlaceWindow(HWND window) {
    const UINT dpi = WindowDpi(window);
    RECT frame{0, 0, Scale(kClientWidth, dpi), Scale(kClientHeight, dpi)};
    using ForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    const auto adjustForDpi =
        ProcAs<ForDpi>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi"));
    // The style as created: the system adds a caption to every top-level window.
    const DWORD style = static_cast<DWORD>(::GetWindowLongW(window, GWL_STYLE));
    if (!adjustForDpi || !adjustForDpi(&frame, style, FALSE, 0, dpi))
        ::AdjustWindowRectEx(&frame, style, FALSE, 0);
    RECT start{};
    ::GetWindowRect(window, &start);
    ::OffsetRect(&frame, start.left - frame.left, start.top - frame.top);
    const RECT placed = FitToWorkArea(frame, true);
    ::SetWindowPos(window, nullptr, placed.left, placed.top, placed.right - placed.left,
                   placed.bottom - placed.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

bool BringInstallerWindowToFront() {
    // The other process may hold its claim a moment before its window exists.
    for (int round = 0; round < 50; ++round) {
        if (const HWND other = ::FindWindowW(kInteractiveClass, nullptr)) {
            LogWrite("Another installer window is open, bringing it to the front");
            if (::IsIconic(other)) ::ShowWindow(other, SW_RESTORE);
            ::SetForegroundWindow(other);
            return true;
        }
        ::Sleep(100);
    }
    return false;
}

CTessaraAppInstallerWindow::CTessaraAppInstallerWindow(HINSTANCE instance, CInstallerRun& run)
    : m_instance(instance), m_run(run), m_silent(run.Mode() != RunMode::Interactive) {
    m_run.ShowIn(this);
}

CTessaraAppInstallerWindow::~CTessaraAppInstallerWindow() {
    // The window must outlive every worker that reports into it.
    m_run.WaitForWorker();
    m_run.ShowIn(nullptr);
}

bool CTessaraAppInstallerWindow::Run() {
    if (!LoadPayloadUrl(GetConfigFilePath(), ::GetCommandLineW())) return false;
    if (m_run.Mode() == RunMode::Package)
        SetConfiguredPayloadUrl(WithRememberedCredentials(SelectPayloadUrlFor(true)));
    // A silent run has nothing to show that is worth waiting for: it begins while the system makes its
    // window, which under Wine takes a good part of a second.
    m_silentRunBegun = m_silent && m_run.StartInstallation();
    ::CoInitialize(nullptr);
    RegisterWindowClass(m_instance, kInteractiveClass, InteractiveWindowProc);
    RegisterWindowClass(m_instance, kSilentClass, SilentWindowProc);

    const HWND created =
        ::CreateWindowExW(0, m_silent ? kSilentClass : kInteractiveClass, kWindowTitle,
                          m_silent ? WS_VISIBLE | WS_DLGFRAME | WS_SYSMENU : kInteractiveStyle, CW_USEDEFAULT,
                          0, 448, 600, nullptr, nullptr, m_instance, this);
    if (!created) {
        // A silent run began before the creation failed: then that run's outcome counts.
        LogFormat("Could not create the installer window (error %lu)", ::GetLastError());
        m_window.exchange(nullptr);
        m_run.WaitForWorker();
        return false;
    }
    m_window.exchange(created);
    if (!m_silent) {
        ::ShowWindow(created, SW_SHOW);
        // Keyboard users always see where the focus is and which letters press which button.
        ::SendMessageW(created, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS | UISF_HIDEACCEL), 0);
    }

    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (::IsDialogMessageW(m_window.load(), &message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    // The window closes only after the run's last report, so the worker at most still has to return.
    m_run.WaitForWorker();
    return true;
}

// The bar always counts percent.
void CTessaraAppInstallerWindow::SetProgressRange(int) {}

void CTessaraAppInstallerWindow::SetProgress(int) { InvalidateProgress(); }

void CTessaraAppInstallerWindow::OnFinished() {
    if (const HWND target = m_window.load()) ::PostMessageW(target, WM_INSTALL_FINISHED, 0, 0);
}

bool CTessaraAppInstallerWindow::IsCancelled() { return m_run.IsCancelled(); }

void CTessaraAppInstallerWindow::OnRunStatusChanged() {
    if (const HWND target = m_window.load()) ::PostMessageW(target, WM_RUN_STATUS_CHANGED, 0, 0);
}

// On the run's thread, owned by the window, which keeps painting meanwhile.
bool CTessaraAppInstallerWindow::AllowClosingApplication() {
    const std::wstring prompt = LoadResourceText(m_instance, IDS_CLOSE_PROMPT_TEXT);
    return ::MessageBoxW(m_window.load(), prompt.c_str(), m_texts.closeApplicationCaption.c_str(),
                         MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void CTessaraAppInstallerWindow::InvalidateProgress() {
    const HWND target = m_window.load();
    if (!target) return;
    ::InvalidateRect(target, &m_layout.status, FALSE);
    ::InvalidateRect(target, &m_layout.progress, FALSE);
}

CTessaraAppInstallerWindow* CTessaraAppInstallerWindow::FromWindow(HWND hwnd, UINT message, LPARAM lParam) {
    if (message == WM_CREATE) {
        auto* self = static_cast<CTessaraAppInstallerWindow*>(
            reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->m_window.exchange(hwnd);
        return self;
    }
    return reinterpret_cast<CTessaraAppInstallerWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

LRESULT CALLBACK CTessaraAppInstallerWindow::SilentWindowProc(HWND hwnd, UINT message, WPARAM wParam,
                                                              LPARAM lParam) {
    CTessaraAppInstallerWindow* self = FromWindow(hwnd, message, lParam);
    switch (message) {
        case WM_CREATE:
            // A run that ended before the window existed had no window to tell.
            if (self &&
                (!self->m_silentRunBegun || self->m_run.LastOutcome() != CInstallerRun::Outcome::NotBegun))
                ::PostMessageW(hwnd, WM_INSTALL_FINISHED, 0, 0);
            break;
        case WM_INSTALL_FINISHED:
            ::DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            break;
        case WM_PAINT: {
            PAINTSTRUCT paint{};
            const HDC dc = ::BeginPaint(hwnd, &paint);
            ::FillRect(dc, &paint.rcPaint, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
            ::EndPaint(hwnd, &paint);
            break;
        }
        case WM_CLOSE:
            ::DestroyWindow(hwnd);
            return 0;
        default:
            break;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK CTessaraAppInstallerWindow::InteractiveWindowProc(HWND hwnd, UINT message, WPARAM wParam,
                                                                   LPARAM lParam) {
    CTessaraAppInstallerWindow* self = FromWindow(hwnd, message, lParam);
    if (!self) return ::DefWindowProcW(hwnd, message, wParam, lParam);
    switch (message) {
        case WM_CREATE:
            PlaceWindow(hwnd);
            self->OnCreate(hwnd);
            return 0;
        case WM_DESTROY:
            self->DestroyResultControls();
            ::PostQuitMessage(0);
            return 0;
        case WM_PAINT:
            self->OnPaint(hwnd);
            return 0;
        case WM_CLOSE:
            self->OnClose(hwnd);
            return 0;
        case WM_SYSCOMMAND:
            // The system ignores a close command while the close box is greyed; ours asks the question.
            if ((wParam & 0xFFF0) != SC_CLOSE) return ::DefWindowProcW(hwnd, message, wParam, lParam);
            self->OnClose(hwnd);
            return 0;
        case WM_COMMAND:
            self->OnCommand(hwnd, LOWORD(wParam));
            return 0;
        case WM_TIMER:
            if (wParam == kCarouselTimer) self->OnCarousel(hwnd);
            if (wParam == kMinimizedTimer)
                self->PublishScreen(ComposeScreen(self->CurrentState(), self->m_texts));
            return 0;
        case WM_SIZE:
            if (wParam == SIZE_MINIMIZED) {
                ::SetTimer(hwnd, kMinimizedTimer, 250, nullptr);
            } else {
                ::KillTimer(hwnd, kMinimizedTimer);
            }
            return 0;
        case WM_ERASEBKGND: {
            // In the message area's colour rather than the class's, also for a themed check box that
            // has its parent draw what lies behind it.
            RECT client{};
            ::GetClientRect(hwnd, &client);
            ::FillRect(reinterpret_cast<HDC>(wParam), &client, self->m_resources.backgroundBrush.get());
            return 1;
        }
        case WM_CTLCOLORSTATIC: {
            // Links alone look like links; the check boxes' labels are text.
            const HDC dc = reinterpret_cast<HDC>(wParam);
            const HWND control = reinterpret_cast<HWND>(lParam);
            const bool link = control == self->m_helpLink || control == self->m_emailLink;
            ::SetBkMode(dc, TRANSPARENT);
            ::SetTextColor(dc, link ? self->m_resources.palette.link : self->m_resources.palette.title);
            return reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH));
        }
        case DM_GETDEFID: {
            // Enter presses the screen's default button, wherever the focus is.
            const HWND button = self->DefaultButton();
            return button ? MAKELRESULT(::GetDlgCtrlID(button), DC_HASDEFID) : 0;
        }
        case WM_SYSCOLORCHANGE:
        case WM_SETTINGCHANGE:
            // A theme or colour change, or a high-contrast theme switched on or off.
            self->OnDisplayChanged(hwnd, self->m_resources.dpi, nullptr);
            return 0;
        case WM_DPICHANGED: {
            // The system suggests the old frame scaled, which may not fit the new monitor.
            const RECT fitted = FitToWorkArea(*reinterpret_cast<const RECT*>(lParam), false);
            self->OnDisplayChanged(hwnd, HIWORD(wParam), &fitted);
            return 0;
        }
        case WM_ACTIVATE:
            self->OnActivate(hwnd, LOWORD(wParam) != WA_INACTIVE);
            return 0;
        case WM_RUN_STATUS_CHANGED:
            self->OnRunStatusChanged(hwnd);
            return 0;
        case WM_INSTALL_FINISHED:
            self->OnRunEnded(hwnd);
            return 0;
        default:
            if (message == CTaskbarProgress::ButtonCreatedMessage()) {
                self->m_taskbar.Attach(hwnd);
                return 0;
            }
            return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

}  // namespace tessara
