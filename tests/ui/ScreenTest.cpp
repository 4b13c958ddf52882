#include <gtest/gtest.h>

#include "app/InstallStage.h"
#include "ui/Screen.h"

namespace tessara {
namespace {

WindowTexts TestTexts() {
    WindowTexts texts;
    texts.installingFormat = L"Installing %d";
    texts.downloadingFormat = L"Downloading %d";
    texts.cancelling = L"Cancelling";
    texts.downloadFailed = L"Download failed";
    texts.downloadFailedBody = L"download body";
    texts.installationFailed = L"Installation failed";
    texts.installationFailedBody = L"installation body";
    texts.installedTitle = L"Installed";
    texts.installedBody = L"installed body";
    texts.uninstalledTitle = L"Uninstalled";
    texts.uninstalledBody = L"uninstalled body";
    texts.carouselTitles = {L"T0", L"T1", L"T2", L"T3"};
    texts.carouselBodies = {L"B0", L"B1", L"B2", L"B3"};
    texts.exit = L"Exit";
    texts.uninstall = L"Uninstall";
    texts.done = L"Done";
    texts.lockUnusableTitle = L"Cannot start";
    texts.setupTitle = L"Setup";
    texts.waiting = L"Waiting";
    texts.olderVersionRefused = L"older body";
    texts.verificationFailed = L"Not verified";
    return texts;
}

struct ScreenCase {
    const char* name;
    ScreenState state;
    ScreenKind kind;
    const wchar_t* status;
    const wchar_t* title;
    ScreenIcon icon;
    unsigned controls;
    const wchar_t* mainLabel;
};

constexpr unsigned kMain = ControlMainButton;
constexpr unsigned kFailedDownload = ControlRetryButton | ControlMainButton | ControlEmailLink;

// ScreenState: choice mode, finished, error, cancel, stage, progress, carousel index, report not sent,
// waiting, older version refused, lock unusable. A result screen's band names the result; a screen without
// progress shows a title there.
const ScreenCase kCases[] = {
    {"started",
     {false, false, false, false, 0, 0, 1},
     ScreenKind::Working,
     L"",
     L"T1",
     ScreenIcon::None,
     0,
     L"Exit"},
    {"downloading",
     {false, false, false, false, 1, 42, 2},
     ScreenKind::Working,
     L"Downloading 42",
     L"T2",
     ScreenIcon::None,
     0,
     L"Exit"},
    {"extracting",
     {false, false, false, false, 2, 80, 5},
     ScreenKind::Working,
     L"Installing 80",
     L"T1",
     ScreenIcon::None,
     0,
     L"Exit"},
    {"failed step still running",
     {false, false, true, false, 3, 80, 0},
     ScreenKind::Working,
     L"Not verified",
     L"T0",
     ScreenIcon::None,
     0,
     L"Exit"},
    {"cancelling",
     {false, false, false, true, 1, 30, 0},
     ScreenKind::Working,
     L"Cancelling",
     L"T0",
     ScreenIcon::None,
     0,
     L"Exit"},
    {"waiting for another run",
     {false, false, false, false, 0, 0, 1, false, true},
     ScreenKind::Waiting,
     L"Waiting",
     L"T1",
     ScreenIcon::None,
     0,
     L"Exit"},
    {"removal waiting for another run",
     {true, false, false, false, 0, 0, 2, false, true},
     ScreenKind::Waiting,
     L"Waiting",
     L"T2",
     ScreenIcon::None,
     0,
     L"Uninstall"},
    {"choice",
     {true, false, false, false, 0, 0, 3},
     ScreenKind::Choice,
     L"Setup",
     L"T3",
     ScreenIcon::None,
     ControlInstallButton | kMain,
     L"Uninstall"},
    {"choice ignores cancel",
     {true, false, false, true, 0, 0, 0},
     ScreenKind::Choice,
     L"Setup",
     L"T0",
     ScreenIcon::None,
     ControlInstallButton | kMain,
     L"Uninstall"},
    {"uninstalled",
     {true, true, false, false, 0, 0, 0},
     ScreenKind::Uninstalled,
     L"Uninstalled",
     L"Uninstalled",
     ScreenIcon::Success,
     kMain,
     L"Done"},
    {"installed",
     {false, true, false, false, 9, 100, 0},
     ScreenKind::Installed,
     L"Installed",
     L"Installed",
     ScreenIcon::Success,
     kMain | ControlCheckBoxes,
     L"Exit"},
    {"installed, registry still written",
     {false, true, false, false, 5, 95, 0},
     ScreenKind::Installed,
     L"Installed",
     L"Installed",
     ScreenIcon::Success,
     kMain | ControlCheckBoxes,
     L"Exit"},
    {"error at stage 0",
     {false, true, true, false, 0, 100, 0},
     ScreenKind::Installed,
     L"Installed",
     L"Installed",
     ScreenIcon::Success,
     kMain,
     L"Exit"},
    {"download failed",
     {false, true, true, false, 1, 100, 0},
     ScreenKind::DownloadFailed,
     L"Download failed",
     L"Download failed",
     ScreenIcon::Error,
     kFailedDownload,
     L"Exit"},
    // The payload arrived and did not pass its check: no Retry, and the report is offered.
    {"verification failed",
     {false, true, true, false, 3, 100, 0},
     ScreenKind::VerificationFailed,
     L"Not verified",
     L"Not verified",
     ScreenIcon::Error,
     kMain | ControlEmailLink,
     L"Exit"},
    {"copy failed",
     {false, true, true, false, 4, 100, 0},
     ScreenKind::InstallationFailed,
     L"Installation failed",
     L"Installation failed",
     ScreenIcon::Error,
     kMain | ControlEmailLink,
     L"Exit"},
    {"startup value failed",
     {false, true, true, false, 7, 100, 0},
     ScreenKind::InstallationFailed,
     L"Installation failed",
     L"Installation failed",
     ScreenIcon::Error,
     kMain | ControlEmailLink,
     L"Exit"},
    // Downloading again would bring the same payload: no Retry.
    {"older version refused",
     {false, true, true, false, 3, 100, 0, false, false, true},
     ScreenKind::InstallationFailed,
     L"Installation failed",
     L"Installation failed",
     ScreenIcon::Error,
     kMain | ControlEmailLink,
     L"Exit"},
    // Nothing began, for an installation or a removal alike: no Retry, and Exit closes the window.
    {"run lock unusable",
     {false, true, true, false, 0, 100, 0, false, false, false, true},
     ScreenKind::LockUnusable,
     L"Cannot start",
     L"Cannot start",
     ScreenIcon::Error,
     kMain,
     L"Exit"},
    {"removal's run lock unusable",
     {true, false, false, false, 0, 0, 0, false, false, false, true},
     ScreenKind::LockUnusable,
     L"Cannot start",
     L"Cannot start",
     ScreenIcon::Error,
     kMain,
     L"Exit"},
};

TEST(ScreenTest, ComposeScreen_EveryStateShowsItsScreen) {
    const WindowTexts texts = TestTexts();
    for (const ScreenCase& c : kCases) {
        SCOPED_TRACE(c.name);
        const Screen screen = ComposeScreen(c.state, texts);
        EXPECT_EQ(c.kind, screen.kind);
        EXPECT_EQ(c.status, screen.status);
        EXPECT_EQ(c.title, screen.title);
        EXPECT_EQ(c.icon, screen.icon);
        EXPECT_EQ(c.controls, screen.controls);
        EXPECT_EQ(c.mainLabel, screen.mainLabel);
        EXPECT_EQ(c.state.progress, screen.progress);
    }
}

TEST(ScreenTest, ComposeScreen_AnOlderVersionRefusedSaysSo) {
    const WindowTexts texts = TestTexts();
    ScreenState state{false, true, true, false, StageVerify, 100, 0};
    state.refusedOlderVersion = true;
    EXPECT_EQ(L"older body", ComposeScreen(state, texts).body);
    state.stage = StageReplace;
    state.refusedOlderVersion = false;
    EXPECT_EQ(L"installation body", ComposeScreen(state, texts).body);
}

}  // namespace
}  // namespace tessara
