#pragma once
// What the interactive window shows, as a pure function of the run's state and the window's own: the
// screen's texts, its icon and the controls it offers.
#include <windows.h>

#include <string>
#include <vector>

namespace tessara {

// Every text of the window, loaded once when it opens.
struct WindowTexts {
    std::wstring installingFormat;
    std::wstring downloadingFormat;
    std::wstring cancelling;
    std::wstring downloadFailed;
    std::wstring downloadFailedBody;
    std::wstring installationFailed;
    std::wstring installationFailedBody;
    std::wstring installedTitle;
    std::wstring installedBody;
    std::wstring uninstalledTitle;
    std::wstring uninstalledBody;
    std::vector<std::wstring> carouselTitles;
    std::vector<std::wstring> carouselBodies;
    std::wstring exit;
    std::wstring uninstall;
    std::wstring done;
    std::wstring retry;
    std::wstring install;
    std::wstring helpLink;
    std::wstring emailLink;
    std::wstring desktopShortcut;
    std::wstring startMenuShortcut;
    std::wstring cancelQuestion;
    std::wstring cancelCaption;
    std::wstring closeApplicationCaption;
    std::wstring uninstallBlocked;
    std::wstring uninstallFailed;
    std::wstring tagline;
    std::wstring reportNotSent;
    std::wstring setupTitle;
    std::wstring waiting;
    std::wstring lockUnusableTitle;
    std::wstring lockUnusableBody;
    std::wstring progressName;
    std::wstring uninstallQuestion;
    std::wstring olderVersionRefused;
    std::wstring verificationFailed;
    std::wstring verificationFailedBody;
    std::wstring uninstallFilesFailed;
};

WindowTexts LoadWindowTexts();

struct ScreenState {
    bool choiceMode = false;
    bool finished = false;
    bool error = false;
    bool cancelRequested = false;
    int stage = 0;
    int progress = 0;
    int carouselIndex = 0;
    // No mail program took the error report of this failure.
    bool reportNotSent = false;
    // The run waits for another run of the user to end before it changes anything.
    bool waiting = false;
    // The payload's signed version is older than the installed one.
    bool refusedOlderVersion = false;
    // The run could not begin: the user's run lock cannot be used, and waiting will not change that.
    bool lockUnusable = false;
};

enum class ScreenKind {
    Working,
    Choice,
    // The user's run lock cannot be used: no run can begin, and waiting will not change that.
    LockUnusable,
    Installed,
    Uninstalled,
    DownloadFailed,
    InstallationFailed,
    Waiting,
    // The payload arrived but is not proven to come from us: downloading it again cannot help.
    VerificationFailed
};
enum class ScreenIcon { None, Success, Error };

// Controls a screen offers besides the help link, which every screen has.
enum ScreenControl : unsigned {
    ControlMainButton = 1u << 0,
    ControlRetryButton = 1u << 1,
    ControlInstallButton = 1u << 2,
    ControlCheckBoxes = 1u << 3,
    ControlEmailLink = 1u << 4,
};

struct Screen {
    ScreenKind kind = ScreenKind::Working;
    // The top band: the run's progress on the working screen, and on every other screen its title.
    std::wstring status;
    bool showsProgress = false;
    std::wstring progressName;
    std::wstring title;
    std::wstring body;
    ScreenIcon icon = ScreenIcon::None;
    unsigned controls = 0;
    std::wstring mainLabel;
    int progress = 0;
    std::wstring tagline;
};

Screen ComposeScreen(const ScreenState& state, const WindowTexts& texts);

}  // namespace tessara
