// Drives the installer window from outside, as a user would: finds it by class, reads its controls
// by id, clicks buttons, ticks check boxes, presses keys, answers message boxes, and reads it as a
// screen reader would, through MSAA. Prints what it saw as JSON.
#include <windows.h>
#include <oleacc.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kWindowClass[] = L"TessaraAppInstallerWindow";
constexpr int kControlIds[] = {1235, 1236, 1237, 1238, 1239};

HWND FindInstaller() { return ::FindWindowW(kWindowClass, nullptr); }

std::string Utf8(const std::wstring& text) {
    std::string out(text.size() * 4 + 1, '\0');
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(),
                                           static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(size > 0 ? size - 1 : 0);
    std::string escaped;
    for (const char c : out) {
        if (c == '"' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// A label as the user reads it, and its access key apart.
struct Label {
    std::wstring text;
    std::wstring key;
};

Label LabelOf(HWND window) {
    wchar_t text[512] = {};
    ::GetWindowTextW(window, text, 512);
    Label label;
    for (const wchar_t* c = text; *c; ++c) {
        if (*c == L'&' && c[1]) {
            label.key.assign(1, *++c);
        } else if (*c == L'(' && c[1] == L'&' && c[2] && c[3] == L')') {
            label.key.assign(1, c[2]);  // "(&X)" after a label in a script without Latin letters
            c += 3;
            continue;
        }
        label.text += *c;
    }
    return label;
}

// Where a child lies in its parent's client area.
RECT RectInParent(HWND child) {
    RECT rect{};
    ::GetWindowRect(child, &rect);
    ::MapWindowPoints(nullptr, ::GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void PrintControl(HWND control) {
    const Label label = LabelOf(control);
    const RECT rect = RectInParent(control);
    std::printf(
        "{\"id\": %d, \"text\": \"%s\", \"key\": \"%s\", \"visible\": %d, \"enabled\": %d, "
        "\"checked\": %d, \"rect\": [%ld, %ld, %ld, %ld]}",
        ::GetDlgCtrlID(control), Utf8(label.text).c_str(), Utf8(label.key).c_str(),
        ::IsWindowVisible(control) ? 1 : 0, ::IsWindowEnabled(control) ? 1 : 0,
        static_cast<int>(::SendMessageW(control, BM_GETCHECK, 0, 0)), rect.left, rect.top, rect.right,
        rect.bottom);
}

std::wstring Take(BSTR text) {
    std::wstring taken = text ? text : L"";
    ::SysFreeString(text);
    return taken;
}

// Name and value of every child of the window's client object, in the order MSAA lists them.
int PrintAccessible() {
    IAccessible* client = nullptr;
    if (FAILED(::AccessibleObjectFromWindow(FindInstaller(), OBJID_CLIENT, IID_IAccessible,
                                            reinterpret_cast<void**>(&client))))
        return 1;
    long count = 0;
    client->get_accChildCount(&count);
    VARIANT children[64] = {};
    long got = 0;
    ::AccessibleChildren(client, 0, count < 64 ? count : 64, children, &got);
    std::printf("[");
    int printed = 0;
    for (long i = 0; i < got; ++i) {
        IAccessible* child = client;
        VARIANT self = children[i];
        if (children[i].vt == VT_DISPATCH) {
            // A child window's own object may answer nothing; a screen reader reads its client object.
            IAccessible* windowObject = nullptr;
            HWND childWindow = nullptr;
            children[i].pdispVal->QueryInterface(IID_IAccessible, reinterpret_cast<void**>(&windowObject));
            children[i].pdispVal->Release();
            if (windowObject) {
                ::WindowFromAccessibleObject(windowObject, &childWindow);
                windowObject->Release();
            }
            if (!childWindow ||
                FAILED(::AccessibleObjectFromWindow(childWindow, OBJID_CLIENT, IID_IAccessible,
                                                    reinterpret_cast<void**>(&child))))
                continue;
            self.vt = VT_I4;
            self.lVal = CHILDID_SELF;
        }
        BSTR name = nullptr;
        BSTR value = nullptr;
        VARIANT state{};
        child->get_accName(self, &name);
        child->get_accValue(self, &value);
        child->get_accState(self, &state);
        std::printf("%s{\"name\": \"%s\", \"value\": \"%s\", \"invisible\": %d}", printed++ ? ", " : "",
                    Utf8(Take(name)).c_str(), Utf8(Take(value)).c_str(),
                    state.vt == VT_I4 && (state.lVal & STATE_SYSTEM_INVISIBLE) ? 1 : 0);
        if (child != client) child->Release();
    }
    std::printf("]\n");
    client->Release();
    return 0;
}

bool g_alerted = false;

void CALLBACK PrintEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child, DWORD, DWORD) {
    const char* kind = event == EVENT_OBJECT_NAMECHANGE    ? "name"
                       : event == EVENT_OBJECT_VALUECHANGE ? "value"
                       : event == EVENT_SYSTEM_ALERT       ? "alert"
                                                           : nullptr;
    IAccessible* source = nullptr;
    VARIANT self{};
    if (!kind || FAILED(::AccessibleObjectFromEvent(window, object, child, &source, &self))) return;
    BSTR text = nullptr;
    if (event == EVENT_OBJECT_VALUECHANGE) {
        source->get_accValue(self, &text);
    } else {
        source->get_accName(self, &text);
    }
    source->Release();
    g_alerted = g_alerted || event == EVENT_SYSTEM_ALERT;
    std::printf("%s %s\n", kind, Utf8(Take(text)).c_str());
    std::fflush(stdout);
}

// Prints the announcements of the installer's process, one a line, until it raises an alert or the
// time is up.
int PrintEvents(DWORD durationMs) {
    DWORD processId = 0;
    ::GetWindowThreadProcessId(FindInstaller(), &processId);
    if (!processId) return 1;
    const HWINEVENTHOOK hook = ::SetWinEventHook(EVENT_MIN, EVENT_OBJECT_VALUECHANGE, nullptr, PrintEvent,
                                                 processId, 0, WINEVENT_OUTOFCONTEXT);
    if (!hook) return 1;
    const DWORD start = ::GetTickCount();
    while (!g_alerted && ::GetTickCount() - start < durationMs) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG message{};
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
    }
    ::UnhookWinEvent(hook);
    return 0;
}

HWND FocusedControl() {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    const DWORD thread = ::GetWindowThreadProcessId(FindInstaller(), nullptr);
    return thread && ::GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
}

// A key pressed where the focus is: a virtual key, or a character with Alt held for an access key.
int PressKey(const std::wstring& key) {
    const HWND focus = FocusedControl();
    if (!focus) return 1;
    if (key.size() == 1) return ::PostMessageW(focus, WM_SYSCHAR, key[0], 1 << 29) ? 0 : 1;
    const WPARAM virtualKey = std::wcstoul(key.c_str(), nullptr, 16);
    return ::PostMessageW(focus, WM_KEYDOWN, virtualKey, 1) &&
                   ::PostMessageW(focus, WM_KEYUP, virtualKey, 3u << 30)
               ? 0
               : 1;
}

// Links are statics that take clicks; painted texts have windows of the window's own class that only
// screen readers see.
template <bool links>
BOOL CALLBACK PrintStatic(HWND child, LPARAM first) {
    wchar_t className[32] = {};
    ::GetClassNameW(child, className, 32);
    const bool link =
        ::lstrcmpiW(className, L"Static") == 0 && (::GetWindowLongW(child, GWL_STYLE) & SS_NOTIFY) != 0;
    if (links ? !link : ::lstrcmpW(className, L"TessaraAppScreenText") != 0) return TRUE;
    bool& isFirst = *reinterpret_cast<bool*>(first);
    std::printf("%s", isFirst ? "" : ", ");
    isFirst = false;
    PrintControl(child);
    return TRUE;
}

// The window's own question, if one is open: its caption, whether it stands in front of the window
// (first of the two in the z-order) and whether it has the keyboard.
void PrintQuestion(HWND window) {
    HWND box = nullptr;
    while (window && (box = ::FindWindowExW(nullptr, box, L"#32770", nullptr)) != nullptr) {
        if (::GetWindow(box, GW_OWNER) == window && ::IsWindowVisible(box)) break;
    }
    if (!box) {
        std::printf("null");
        return;
    }
    // In front unless the window lies above it (a bounded walk: the order may change under it).
    bool inFront = true;
    HWND above = ::GetWindow(box, GW_HWNDPREV);
    for (int step = 0; above && inFront && step < 1000; ++step, above = ::GetWindow(above, GW_HWNDPREV))
        inFront = above != window;
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    ::GetGUIThreadInfo(::GetWindowThreadProcessId(box, nullptr), &info);
    const bool hasKeys = info.hwndFocus && (info.hwndFocus == box || ::IsChild(box, info.hwndFocus));
    std::printf("{\"caption\": \"%s\", \"inFront\": %d, \"hasKeys\": %d}", Utf8(LabelOf(box).text).c_str(),
                inFront ? 1 : 0, hasKeys ? 1 : 0);
}

int PrintState() {
    const HWND window = FindInstaller();
    RECT frame{};
    RECT client{};
    ::GetWindowRect(window, &frame);
    ::GetClientRect(window, &client);
    std::printf(
        "{\"window\": %d, \"minimizeBox\": %d, \"minimized\": %d, "
        "\"frame\": [%ld, %ld, %ld, %ld], \"client\": [%ld, %ld], \"controls\": {",
        window ? 1 : 0,
        window && (::GetWindowLongW(window, GWL_STYLE) & (WS_SYSMENU | WS_MINIMIZEBOX)) ==
                      (WS_SYSMENU | WS_MINIMIZEBOX),
        window && ::IsIconic(window) ? 1 : 0, frame.left, frame.top, frame.right, frame.bottom, client.right,
        client.bottom);
    bool first = true;
    for (const int id : kControlIds) {
        const HWND control = window ? ::GetDlgItem(window, id) : nullptr;
        if (!control) continue;
        std::printf("%s\"%d\": ", first ? "" : ", ", id);
        first = false;
        PrintControl(control);
    }
    std::printf("}, \"links\": [");
    first = true;
    if (window) ::EnumChildWindows(window, PrintStatic<true>, reinterpret_cast<LPARAM>(&first));
    std::printf("], \"painted\": [");
    first = true;
    if (window) ::EnumChildWindows(window, PrintStatic<false>, reinterpret_cast<LPARAM>(&first));
    std::printf("], \"question\": ");
    PrintQuestion(window);
    std::printf("}\n");
    return 0;
}

// Another window takes the activation, as a click elsewhere would, and then the installer gets it back,
// as a click on its title bar would.
int Reactivate() {
    const HWND window = FindInstaller();
    const HWND other = ::CreateWindowExW(0, L"Static", L"elsewhere", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50,
                                         nullptr, nullptr, nullptr, nullptr);
    if (!window || !other) return 1;
    const auto settle = [] {
        for (int round = 0; round < 10; ++round) {
            MSG message{};
            while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
            ::Sleep(30);
        }
    };
    ::SetForegroundWindow(other);
    settle();
    ::SetForegroundWindow(window);
    settle();
    ::DestroyWindow(other);
    return 0;
}

// Milliseconds since 1970 on the shared clock, for timing against the host.
long long MsSince1970(const FILETIME& time) {
    const long long ticks = (static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return ticks / 10000 - 11644473600000LL;
}

long long NowMs() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return MsSince1970(now);
}

// When the process that owns the window was created; 0 when it cannot be asked.
long long ProcessStartMs(HWND window) {
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process) return 0;
    FILETIME created{}, exited{}, kernel{}, user{};
    const BOOL known = ::GetProcessTimes(process, &created, &exited, &kernel, &user);
    ::CloseHandle(process);
    return known ? MsSince1970(created) : 0;
}

// Waits until the window is shown with nothing left to paint, and prints when that was and when its
// process started.
int WaitForPaint(DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < timeoutMs) {
        const HWND window = FindInstaller();
        if (window && ::IsWindowVisible(window) && !::GetUpdateRect(window, nullptr, FALSE)) {
            std::printf("%lld %lld\n", NowMs(), ProcessStartMs(window));
            return 0;
        }
        ::Sleep(2);
    }
    return 1;
}

// Clicks the button (IDYES, IDNO, IDOK) in the message box with the caption (any, when empty) once it
// appears.
int Answer(const wchar_t* caption, int answer, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < timeoutMs) {
        const HWND box = ::FindWindowW(L"#32770", *caption ? caption : nullptr);
        const HWND button = box ? ::GetDlgItem(box, answer) : nullptr;
        if (button) {
            ::PostMessageW(button, BM_CLICK, 0, 0);
            // Returns once the answer has been taken, so that what the caller does next meets the window.
            while (::IsWindow(box) && ::GetTickCount() - start < timeoutMs) ::Sleep(20);
            return 0;
        }
        ::Sleep(20);
    }
    return 1;
}

// Clicks the visible link at the index (0 for the first), as the mouse button coming up over it would.
int ClickLink(int index) {
    const HWND window = FindInstaller();
    for (HWND child = window ? ::GetWindow(window, GW_CHILD) : nullptr; child;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[32] = {};
        ::GetClassNameW(child, className, 32);
        if (::lstrcmpiW(className, L"Static") != 0 || !::IsWindowVisible(child) || index-- > 0) continue;
        return ::PostMessageW(child, WM_LBUTTONUP, 0, 0) ? 0 : 1;
    }
    return 1;
}

// Tells the window that it now stands on a monitor of another density, as the system does when it is
// dragged there: the new density and a suggested frame (the old one scaled), the frame written into
// the window's own process since the message carries its address.
int ChangeDpi(UINT from, UINT to) {
    const HWND window = FindInstaller();
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    const HANDLE process = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, processId);
    if (!process) return 1;
    RECT frame{};
    ::GetWindowRect(window, &frame);
    const auto scale = [&](LONG length) {
        return ::MulDiv(length, static_cast<int>(to), static_cast<int>(from));
    };
    const RECT suggested{frame.left, frame.top, frame.left + scale(frame.right - frame.left),
                         frame.top + scale(frame.bottom - frame.top)};
    void* remote = ::VirtualAllocEx(process, nullptr, sizeof suggested, MEM_COMMIT, PAGE_READWRITE);
    DWORD_PTR result = 0;
    const bool sent =
        remote && ::WriteProcessMemory(process, remote, &suggested, sizeof suggested, nullptr) &&
        ::SendMessageTimeoutW(window, WM_DPICHANGED, MAKEWPARAM(to, to), reinterpret_cast<LPARAM>(remote),
                              SMTO_ABORTIFHUNG, 10000, &result);
    if (remote) ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    ::CloseHandle(process);
    return sent ? 0 : 1;
}

// Closes a folder window the shell opened, such as the one that shows an error report.
BOOL CALLBACK CloseFolderWindow(HWND window, LPARAM) {
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, 64);
    if (::lstrcmpW(className, L"ExplorerWClass") == 0) ::PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

int ControlCommand(const wchar_t* command, int id, int value) {
    const HWND window = FindInstaller();
    const HWND control = window ? ::GetDlgItem(window, id) : nullptr;
    if (!control) return 1;
    if (::lstrcmpW(command, L"click") == 0) {
        // Several clicks in a row arrive as a quick user's would, before the first has been handled.
        for (int click = 0; click < std::max(value, 1); ++click)
            if (!::PostMessageW(control, BM_CLICK, 0, 0)) return 1;
        return 0;
    }
    ::SendMessageW(control, BM_SETCHECK, value ? BST_CHECKED : BST_UNCHECKED, 0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    const std::wstring command = argv[1];
    // The installer runs in a virtual desktop of its own, which may still be starting. Without it no
    // installer window is found.
    wchar_t desktopName[64] = {};
    if (::GetEnvironmentVariableW(L"TESSARA_DESKTOP", desktopName, 64)) {
        for (int round = 0; round < 200; ++round) {
            const HDESK desktop = ::OpenDesktopW(desktopName, 0, FALSE, GENERIC_ALL);
            if (desktop && ::SetThreadDesktop(desktop)) break;
            if (desktop) ::CloseDesktop(desktop);
            if (command != L"wait-paint") break;
            ::Sleep(50);
        }
    }
    if (command == L"state") return PrintState();
    if (command == L"msaa") {
        ::CoInitialize(nullptr);
        return PrintAccessible();
    }
    if (command == L"events" && argc == 3) {
        ::CoInitialize(nullptr);
        return PrintEvents(std::wcstoul(argv[2], nullptr, 10));
    }
    if (command == L"focus") {
        const HWND focus = FocusedControl();
        if (!focus) return 1;
        PrintControl(focus);
        std::printf("\n");
        return 0;
    }
    if (command == L"key" && argc == 3) return PressKey(argv[2]);
    if (command == L"reactivate") return Reactivate();
    if (command == L"wait-paint" && argc == 3) return WaitForPaint(std::wcstoul(argv[2], nullptr, 10));
    if (command == L"rect") {
        // In front of any other window, with its own message boxes still above it.
        ::SetWindowPos(FindInstaller(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        RECT rect{};
        if (!::GetWindowRect(FindInstaller(), &rect)) return 1;
        // A message box of the installer belongs in the picture too.
        RECT box{};
        const HWND question = ::FindWindowW(L"#32770", nullptr);
        if (question && ::IsWindowVisible(question) && ::GetWindowRect(question, &box))
            ::UnionRect(&rect, &rect, &box);
        std::printf("%ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top, rect.left, rect.top);
        return 0;
    }
    if (command == L"click-link" && argc == 3) return ClickLink(std::wcstol(argv[2], nullptr, 10));
    if (command == L"close-folders")
        return ::EnumDesktopWindows(::GetThreadDesktop(::GetCurrentThreadId()), CloseFolderWindow, 0) ? 0 : 1;
    if (command == L"close") return ::PostMessageW(FindInstaller(), WM_CLOSE, 0, 0) ? 0 : 1;
    if (command == L"dpi" && argc == 4)
        return ChangeDpi(std::wcstoul(argv[2], nullptr, 10), std::wcstoul(argv[3], nullptr, 10));
    if (command == L"click-close-box") {
        // The mouse going down and up on the caption's close box; a greyed one ignores it.
        const HWND window = FindInstaller();
        RECT frame{};
        ::GetWindowRect(window, &frame);
        const LPARAM at = MAKELPARAM(frame.right - ::GetSystemMetrics(SM_CXSIZE) / 2 - 4,
                                     frame.top + ::GetSystemMetrics(SM_CYSIZE) / 2 + 4);
        return ::PostMessageW(window, WM_NCLBUTTONDOWN, HTCLOSE, at) &&
                       ::PostMessageW(window, WM_LBUTTONUP, 0, 0)
                   ? 0
                   : 1;
    }
    if (command == L"syscommand" && argc == 3) {
        // What the minimise box, a click on the taskbar button and Alt+F4 send.
        const std::wstring which = argv[2];
        const WPARAM code = which == L"minimize" ? SC_MINIMIZE : which == L"restore" ? SC_RESTORE : SC_CLOSE;
        return ::PostMessageW(FindInstaller(), WM_SYSCOMMAND, code, 0) ? 0 : 1;
    }
    if (command == L"answer" && argc == 5)
        return Answer(argv[2],
                      ::lstrcmpiW(argv[3], L"yes") == 0  ? IDYES
                      : ::lstrcmpiW(argv[3], L"ok") == 0 ? IDOK
                                                         : IDNO,
                      std::wcstoul(argv[4], nullptr, 10));
    if ((command == L"click" || command == L"check") && argc >= 3)
        return ControlCommand(argv[1], std::wcstol(argv[2], nullptr, 10),
                              argc > 3 ? std::wcstol(argv[3], nullptr, 10) : 0);
    return 2;
}
