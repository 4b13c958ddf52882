#include "ui/TaskbarProgress.h"

namespace tessara {
namespace {

TBPFLAG StateOf(ScreenKind kind) {
    switch (kind) {
        case ScreenKind::Working:
            return TBPF_NORMAL;
        case ScreenKind::LockUnusable:
        case ScreenKind::DownloadFailed:
        case ScreenKind::InstallationFailed:
        case ScreenKind::VerificationFailed:
            return TBPF_ERROR;
        default:
            return TBPF_NOPROGRESS;
    }
}

}  // namespace

UINT CTaskbarProgress::ButtonCreatedMessage() {
    static const UINT message = ::RegisterWindowMessageW(L"TaskbarButtonCreated");
    return message;
}

void CTaskbarProgress::Attach(HWND window) {
    m_window = window;
    if (FAILED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                  m_taskbar.put_void())) ||
        FAILED(m_taskbar->HrInit())) {
        m_taskbar.reset();
        return;
    }
    m_state = TBPF_NOPROGRESS;
    m_progress = -1;
}

void CTaskbarProgress::Show(const Screen& screen) {
    if (!m_taskbar) return;
    const TBPFLAG state = StateOf(screen.kind);
    if (state != m_state) {
        m_state = state;
        m_taskbar->SetProgressState(m_window, state);
        m_progress = -1;
    }
    // The error state shows on a full bar; no bar shows no value.
    const int progress = state == TBPF_NOPROGRESS ? 0 : state == TBPF_ERROR ? 100 : screen.progress;
    if (state != TBPF_NOPROGRESS && progress != m_progress) {
        m_progress = progress;
        m_taskbar->SetProgressValue(m_window, static_cast<ULONGLONG>(progress), 100);
    }
}

}  // namespace tessara
