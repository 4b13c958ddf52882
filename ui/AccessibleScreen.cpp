#include "ui/AccessibleScreen.h"

#include <oleacc.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <string>

#include "app/ScopedWin.h"
#include "app/SystemLibrary.h"

namespace tessara {
namespace {

// oleacc.dll is no known system library, so it is loaded at run time from the system folder (see
// app/SystemLibrary.h) rather than imported.
template <typename Fn>
Fn AccessibilityFunction(const char* name) {
    return SystemFunction<Fn>(L"oleacc.dll", name);
}

// The progress child's id, apart from the ids of the window's buttons.
constexpr int kProgressChild = 1300;

// The progress child as MSAA reads it: its window's standard object, with the role of a progress bar
// and the percentage the window keeps in its user data as the value.
class CProgressAccessible final : public IAccessible {
public:
    explicit CProgressAccessible(HWND window) : m_window(window) {
        static const auto createStandard =
            AccessibilityFunction<decltype(&::CreateStdAccessibleObject)>("CreateStdAccessibleObject");
        if (createStandard) createStandard(window, OBJID_CLIENT, IID_IAccessible, m_standard.put_void());
    }
    explicit operator bool() const { return static_cast<bool>(m_standard); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_IAccessible) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<IAccessible*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(::InterlockedIncrement(&m_references));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = ::InterlockedDecrement(&m_references);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
        if (child.vt != VT_I4 || child.lVal != CHILDID_SELF) return m_standard->get_accRole(child, role);
        role->vt = VT_I4;
        role->lVal = ROLE_SYSTEM_PROGRESSBAR;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
        if (child.vt != VT_I4 || child.lVal != CHILDID_SELF) return m_standard->get_accValue(child, value);
        wchar_t text[16] = {};
        std::swprintf(text, std::size(text), L"%d%%",
                      static_cast<int>(::GetWindowLongPtrW(m_window, GWLP_USERDATA)));
        *value = ::SysAllocString(text);
        return *value ? S_OK : E_OUTOFMEMORY;
    }

    // Everything else is the standard object's answer.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        return m_standard->GetTypeInfoCount(count);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override {
        return m_standard->GetTypeInfo(index, locale, info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                            DISPID* ids) override {
        return m_standard->GetIDsOfNames(iid, names, count, locale, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* parameters,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argument) override {
        return m_standard->Invoke(id, iid, locale, flags, parameters, result, exception, argument);
    }
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
        return m_standard->get_accParent(parent);
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override {
        return m_standard->get_accChildCount(count);
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override {
        return m_standard->get_accChild(child, object);
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
        return m_standard->get_accName(child, name);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* text) override {
        return m_standard->get_accDescription(child, text);
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
        return m_standard->get_accState(child, state);
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* help) override {
        return m_standard->get_accHelp(child, help);
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, long* topic) override {
        return m_standard->get_accHelpTopic(file, child, topic);
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) override {
        return m_standard->get_accKeyboardShortcut(child, shortcut);
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* child) override {
        return m_standard->get_accFocus(child);
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* children) override {
        return m_standard->get_accSelection(children);
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override {
        return m_standard->get_accDefaultAction(child, action);
    }
    HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override {
        return m_standard->accSelect(flags, child);
    }
    HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height,
                                          VARIANT child) override {
        return m_standard->accLocation(left, top, width, height, child);
    }
    HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* end) override {
        return m_standard->accNavigate(direction, start, end);
    }
    HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* child) override {
        return m_standard->accHitTest(x, y, child);
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        return m_standard->accDoDefaultAction(child);
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override {
        return m_standard->put_accName(child, name);
    }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override {
        return m_standard->put_accValue(child, value);
    }

private:
    ~CProgressAccessible() = default;

    HWND m_window;
    ComPtr<IAccessible> m_standard;
    LONG m_references = 1;
};

LRESULT AnswerProgressObject(HWND child, WPARAM wParam) {
    static const auto answerWith = AccessibilityFunction<decltype(&::LresultFromObject)>("LresultFromObject");
    auto* const progress = new CProgressAccessible(child);
    const LRESULT answer = *progress && answerWith ? answerWith(IID_IAccessible, wParam, progress) : 0;
    progress->Release();
    return answer;
}

constexpr wchar_t kTextClass[] = L"TessaraAppScreenText";
// A name change that only moves a percentage is announced at most this often; the name itself is
// always current for a reader that asks.
constexpr DWORD kNameChangeInterval = 1000;
constexpr UINT_PTR kPendingNameChange = 1;

// The text children other than the progress child keep the tick of their last announcement in their
// user data.
void AnnounceName(HWND child) {
    ::SetWindowLongPtrW(child, GWLP_USERDATA, static_cast<LONG_PTR>(::GetTickCount()));
    ::NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, child, OBJID_CLIENT, CHILDID_SELF);
}

// A window that keeps a text for MSAA and paints nothing: the parent does not clip its children, so
// what it painted beneath stays visible, and the mouse goes through to the parent.
LRESULT CALLBACK ScreenTextProc(HWND child, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_GETOBJECT:
            if (::GetDlgCtrlID(child) == kProgressChild && static_cast<LONG>(lParam) == OBJID_CLIENT)
                return AnswerProgressObject(child, wParam);
            break;
        case WM_TIMER:
            if (wParam != kPendingNameChange) break;
            ::KillTimer(child, kPendingNameChange);
            AnnounceName(child);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT:
            ::ValidateRect(child, nullptr);
            return 0;
        case WM_NCHITTEST:
            return HTTRANSPARENT;
        default:
            break;
    }
    return ::DefWindowProcW(child, message, wParam, lParam);
}

HWND CreateScreenText(HWND parent, HINSTANCE instance, int id = 0) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = ScreenTextProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kTextClass;
    ::RegisterClassExW(&windowClass);  // fails harmlessly once the class exists
    return ::CreateWindowExW(0, kTextClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

void Place(HWND child, const RECT& rect) {
    ::SetWindowPos(child, nullptr, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                   SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW);
}

std::wstring WithoutDigits(std::wstring text) {
    text.erase(std::remove_if(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; }),
               text.end());
    return text;
}

// A new step is announced at once; a new percentage within the same step (the one number a status
// holds) waits until a second has passed since the last announcement, so that a reader is not
// interrupted several times a second.
void SetName(HWND child, const std::wstring& name, bool onlyNumbersThrottled = false) {
    std::wstring current(static_cast<size_t>(::GetWindowTextLengthW(child)) + 1, L'\0');
    current.resize(
        static_cast<size_t>(::GetWindowTextW(child, current.data(), static_cast<int>(current.size()))));
    if (current == name) return;
    ::SetWindowTextW(child, name.c_str());
    const DWORD since = ::GetTickCount() - static_cast<DWORD>(::GetWindowLongPtrW(child, GWLP_USERDATA));
    if (onlyNumbersThrottled && since < kNameChangeInterval &&
        WithoutDigits(current) == WithoutDigits(name)) {
        ::SetTimer(child, kPendingNameChange, kNameChangeInterval - since, nullptr);
        return;
    }
    ::KillTimer(child, kPendingNameChange);
    AnnounceName(child);
}

bool IsResult(ScreenKind kind) {
    return kind != ScreenKind::Working && kind != ScreenKind::Choice && kind != ScreenKind::Waiting;
}

}  // namespace

void CAccessibleScreen::Create(HWND parent, HINSTANCE instance) {
    m_instance = instance;
    m_status = CreateScreenText(parent, instance);
    m_title = CreateScreenText(parent, instance);
    m_body = CreateScreenText(parent, instance);
}

// The progress object exists only while the screen shows progress: elsewhere a reader would hear a
// "0%" or "100%" that means nothing. It reads right after the status line.
void CAccessibleScreen::ShowProgress(const Screen& screen, const RECT& bar) {
    if (!screen.showsProgress) {
        if (m_progress) ::DestroyWindow(m_progress);
        m_progress = nullptr;
        return;
    }
    if (!m_progress) {
        m_progress = CreateScreenText(::GetParent(m_status), m_instance, kProgressChild);
        ::SetWindowPos(m_progress, m_status, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        m_progressValue = -1;
    }
    Place(m_progress, bar);
    SetName(m_progress, screen.progressName);
    if (screen.progress != m_progressValue) {
        m_progressValue = screen.progress;
        ::SetWindowLongPtrW(m_progress, GWLP_USERDATA, screen.progress);
        ::NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, m_progress, OBJID_CLIENT, CHILDID_SELF);
    }
}

void CAccessibleScreen::Show(const Screen& screen, const WindowLayout& layout, const PaintedScreen& painted) {
    if (!m_status) return;
    Place(m_status, layout.status);
    Place(m_title, painted.title);
    Place(m_body, painted.body);
    // A band that repeats the title below it (a result screen's) is read once, as the title.
    const bool statusRepeats = screen.status.empty() || screen.status == screen.title;
    ::ShowWindow(m_status, statusRepeats ? SW_HIDE : SW_SHOWNA);
    SetName(m_status, screen.status, true);
    ShowProgress(screen, layout.progress);
    SetName(m_title, screen.title);
    SetName(m_body, screen.body);
    if (screen.kind != m_kind && IsResult(screen.kind))
        ::NotifyWinEvent(EVENT_SYSTEM_ALERT, m_title, OBJID_CLIENT, CHILDID_SELF);
    m_kind = screen.kind;
}

}  // namespace tessara
