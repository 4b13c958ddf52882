#include "ui/Screen.h"

#include <cwchar>

#include "app/InstallStage.h"
#include "res/resource.h"
#include "ui/HelpLink.h"

namespace tessara {
namespace {

bool IsDownloadStage(int stage) { return stage >= StageDownload && stage <= StageVerify; }
bool IsInstallationStage(int stage) { return stage >= StageReplace && stage <= StageStartupKeys; }
// The signature, the manifest or a file did not pass the check. A signed payload refused for its
// version is the installation's failure.
bool IsVerificationFailure(const ScreenState& state) {
    return state.error && state.stage == StageVerify && !state.refusedOlderVersion;
}

ScreenKind KindOf(const ScreenState& state) {
    if (state.lockUnusable) return ScreenKind::LockUnusable;
    if (state.waiting && !state.finished) return ScreenKind::Waiting;
    if (state.choiceMode) return state.finished ? ScreenKind::Uninstalled : ScreenKind::Choice;
    if (!state.finished) return ScreenKind::Working;
    // Downloading again would bring the same older payload: there is nothing to retry.
    if (state.error && state.refusedOlderVersion) return ScreenKind::InstallationFailed;
    if (IsVerificationFailure(state)) return ScreenKind::VerificationFailed;
    if (state.error && IsDownloadStage(state.stage)) return ScreenKind::DownloadFailed;
    if (state.error && IsInstallationStage(state.stage)) return ScreenKind::InstallationFailed;
    return ScreenKind::Installed;
}

std::wstring FormatProgress(const std::wstring& format, int progress) {
    // The translations keep the formatted text within this buffer.
    wchar_t text[100] = {};
    std::swprintf(text, std::size(text), format.c_str(), progress);
    return text;
}

// The band never contradicts the message under it: a result screen names its result there.
std::wstring StatusText(ScreenKind kind, const ScreenState& state, const WindowTexts& texts) {
    switch (kind) {
        case ScreenKind::Waiting:
            return texts.waiting;
        case ScreenKind::LockUnusable:
            return texts.lockUnusableTitle;
        case ScreenKind::Choice:
            return texts.setupTitle;
        case ScreenKind::Uninstalled:
            return texts.uninstalledTitle;
        case ScreenKind::Installed:
            return texts.installedTitle;
        case ScreenKind::VerificationFailed:
            return texts.verificationFailed;
        case ScreenKind::DownloadFailed:
        case ScreenKind::InstallationFailed:
        case ScreenKind::Working:
            break;
    }
    if (state.cancelRequested) return texts.cancelling;
    if (state.error && (IsInstallationStage(state.stage) || state.refusedOlderVersion))
        return texts.installationFailed;
    if (IsVerificationFailure(state)) return texts.verificationFailed;
    if (state.error && IsDownloadStage(state.stage)) return texts.downloadFailed;
    if (state.stage == StageNone) return {};
    return FormatProgress(state.stage == StageDownload ? texts.downloadingFormat : texts.installingFormat,
                          state.progress);
}

template <typename T>
const T& CarouselItem(const std::vector<T>& items, int index) {
    static const T none{};
    if (items.empty()) return none;
    return items[static_cast<size_t>(index) % items.size()];
}

}  // namespace

WindowTexts LoadWindowTexts() {
    const auto text = [](UINT id) { return LoadUiString(id); };
    WindowTexts texts;
    texts.installingFormat = text(IDS_INSTALLING_FORMAT);
    texts.downloadingFormat = text(IDS_DOWNLOADING_FORMAT);
    texts.cancelling = text(IDS_CANCELLING);
    texts.downloadFailed = text(IDS_DOWNLOAD_FAILED);
    texts.downloadFailedBody = text(IDS_DOWNLOAD_FAILED_BODY);
    texts.installationFailed = text(IDS_INSTALL_FAILED);
    texts.installationFailedBody = text(IDS_INSTALL_FAILED_BODY);
    texts.installedTitle = text(IDS_INSTALLED_TITLE);
    texts.installedBody = text(IDS_INSTALLED_BODY);
    texts.uninstalledTitle = text(IDS_UNINSTALLED_TITLE);
    texts.uninstalledBody = text(IDS_UNINSTALLED_BODY);
    for (const auto& [title, body] : {std::pair{IDS_CAROUSEL_TITLE_1, IDS_CAROUSEL_BODY_1},
                                      std::pair{IDS_CAROUSEL_TITLE_2, IDS_CAROUSEL_BODY_2},
                                      std::pair{IDS_CAROUSEL_TITLE_3, IDS_CAROUSEL_BODY_3},
                                      std::pair{IDS_CAROUSEL_TITLE_4, IDS_CAROUSEL_BODY_4}}) {
        texts.carouselTitles.push_back(text(title));
        texts.carouselBodies.push_back(text(body));
    }
    texts.exit = text(IDS_EXIT);
    texts.uninstall = text(IDS_UNINSTALL);
    texts.done = text(IDS_DONE);
    texts.retry = text(IDS_RETRY);
    texts.install = text(IDS_INSTALL);
    texts.helpLink = text(IDS_HELP_LINK);
    texts.emailLink = text(IDS_EMAIL_LINK);
    texts.desktopShortcut = text(IDS_DESKTOP_SHORTCUT);
    texts.startMenuShortcut = text(IDS_START_MENU_SHORTCUT);
    texts.cancelQuestion = text(IDS_CANCEL_QUESTION);
    texts.cancelCaption = text(IDS_CANCEL_CAPTION);
    texts.closeApplicationCaption = text(IDS_CLOSE_PROMPT_CAPTION);
    texts.uninstallBlocked = text(IDS_UNINSTALL_BLOCKED);
    texts.uninstallFailed = text(IDS_UNINSTALL_FAILED);
    texts.tagline = text(IDS_TAGLINE);
    texts.reportNotSent = text(IDS_REPORT_NOT_SENT);
    texts.setupTitle = text(IDS_SETUP_TITLE);
    texts.waiting = text(IDS_WAITING);
    texts.lockUnusableTitle = text(IDS_LOCK_UNUSABLE_TITLE);
    texts.lockUnusableBody = text(IDS_LOCK_UNUSABLE_BODY);
    texts.progressName = text(IDS_PROGRESS_NAME);
    texts.uninstallQuestion = text(IDS_UNINSTALL_QUESTION);
    texts.olderVersionRefused = text(IDS_OLDER_VERSION_REFUSED);
    texts.verificationFailed = text(IDS_VERIFICATION_FAILED);
    texts.verificationFailedBody = text(IDS_VERIFICATION_FAILED_BODY);
    texts.uninstallFilesFailed = text(IDS_UNINSTALL_FILES_FAILED);
    return texts;
}

Screen ComposeScreen(const ScreenState& state, const WindowTexts& texts) {
    Screen screen;
    screen.kind = KindOf(state);
    screen.status = StatusText(screen.kind, state, texts);
    screen.showsProgress = screen.kind == ScreenKind::Working;
    screen.progressName = texts.progressName;
    screen.progress = state.progress;
    screen.tagline = texts.tagline;
    screen.mainLabel = state.choiceMode && !state.lockUnusable
                           ? (state.finished ? texts.done : texts.uninstall)
                           : texts.exit;
    switch (screen.kind) {
        case ScreenKind::Working:
        case ScreenKind::Choice:
        case ScreenKind::Waiting:
            screen.title = CarouselItem(texts.carouselTitles, state.carouselIndex);
            screen.body = CarouselItem(texts.carouselBodies, state.carouselIndex);
            screen.controls =
                screen.kind == ScreenKind::Choice ? ControlInstallButton | ControlMainButton : 0;
            break;
        case ScreenKind::Uninstalled:
            screen.title = texts.uninstalledTitle;
            screen.body = texts.uninstalledBody;
            screen.icon = ScreenIcon::Success;
            screen.controls = ControlMainButton;
            break;
        case ScreenKind::Installed:
            screen.title = texts.installedTitle;
            screen.body = texts.installedBody;
            screen.icon = ScreenIcon::Success;
            screen.controls = ControlMainButton | (state.error ? 0u : unsigned{ControlCheckBoxes});
            break;
        case ScreenKind::DownloadFailed:
            screen.title = texts.downloadFailed;
            screen.body = texts.downloadFailedBody;
            screen.icon = ScreenIcon::Error;
            screen.controls = ControlRetryButton | ControlMainButton | ControlEmailLink;
            break;
        case ScreenKind::VerificationFailed:
            screen.title = texts.verificationFailed;
            screen.body = texts.verificationFailedBody;
            screen.icon = ScreenIcon::Error;
            screen.controls = ControlMainButton | ControlEmailLink;
            break;
        case ScreenKind::InstallationFailed:
            screen.title = texts.installationFailed;
            screen.body =
                state.refusedOlderVersion ? texts.olderVersionRefused : texts.installationFailedBody;
            screen.icon = ScreenIcon::Error;
            screen.controls = ControlMainButton | ControlEmailLink;
            break;
        case ScreenKind::LockUnusable:
            // Neither a retry nor the error report can help; the log names the file and the reason.
            screen.title = texts.lockUnusableTitle;
            screen.body = texts.lockUnusableBody;
            screen.icon = ScreenIcon::Error;
            screen.controls = ControlMainButton;
            break;
    }
    // Said in place of the failure's text, under the title that still names the failure and right
    // above the link that was clicked; both together would push the link under the buttons.
    if ((screen.controls & ControlEmailLink) && state.reportNotSent) screen.body = texts.reportNotSent;
    return screen;
}

}  // namespace tessara
