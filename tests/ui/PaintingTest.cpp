#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/ui/StoredStrings.h"
#include "ui/Painting.h"

namespace tessara {
namespace {

using namespace Gdiplus::DllExports;

constexpr int kWidth = 442;
constexpr int kHeight = 540;
constexpr COLORREF kBackground = RGB(239, 239, 239);
constexpr COLORREF kBlue = RGB(21, 115, 230);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kWhite = RGB(255, 255, 255);

// A window-sized top-down DIB in a memory context, standing in for the window's paint context.
class CCanvas {
public:
    CCanvas() : m_dc(::CreateCompatibleDC(nullptr)) {
        BITMAPINFO info{};
        info.bmiHeader = {sizeof info.bmiHeader, kWidth, -kHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        m_bitmap.reset(::CreateDIBSection(m_dc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        m_bits = static_cast<const uint32_t*>(bits);
        m_original = ::SelectObject(m_dc.get(), m_bitmap.get());
    }
    ~CCanvas() { ::SelectObject(m_dc.get(), m_original); }
    HDC dc() const { return m_dc.get(); }
    COLORREF Pixel(int x, int y) const {
        const uint32_t value = m_bits[y * kWidth + x];
        return RGB((value >> 16) & 0xff, (value >> 8) & 0xff, value & 0xff);
    }

private:
    unique_hdc m_dc;
    unique_hbitmap m_bitmap;
    const uint32_t* m_bits = nullptr;
    HGDIOBJ m_original = nullptr;
};

unique_gdip_image SolidImage(int width, int height, Gdiplus::ARGB colour) {
    Gdiplus::GpBitmap* bitmap = nullptr;
    GdipCreateBitmapFromScan0(width, height, 0, PixelFormat32bppARGB, nullptr, &bitmap);
    unique_gdip_image image(bitmap);
    Gdiplus::GpGraphics* graphics = nullptr;
    if (bitmap && GdipGetImageGraphicsContext(bitmap, &graphics) == Gdiplus::Ok) {
        GdipGraphicsClear(graphics, colour);
        GdipDeleteGraphics(graphics);
    }
    return image;
}

// Wine answers 0 to every GetGuiResources question; the free entries of its handle table are counted instead.
size_t CountFreeGdiHandles() {
    std::vector<unique_hbrush> brushes;
    while (HBRUSH brush = ::CreateSolidBrush(RGB(1, 2, 3))) brushes.emplace_back(brush);
    return brushes.size();
}

class PaintingTest : public ::testing::Test {
protected:
    PaintingTest() : resources(CreatePaintResources(::GetModuleHandleW(nullptr))) {}

    void WithoutArt() {
        resources.banner.reset();
        resources.successIcon.reset();
        resources.errorIcon.reset();
    }

    PaintedScreen Paint(const Screen& screen) {
        const RECT client{0, 0, kWidth, kHeight};
        return PaintScreen(canvas.dc(), client, ComputeWindowLayout(client, resources), screen, resources);
    }

    static Screen Message(const wchar_t* title, ScreenIcon icon = ScreenIcon::None) {
        Screen screen;
        screen.status = L"Downloading (50%)";
        screen.showsProgress = true;
        screen.title = title;
        screen.body = L"A body text long enough to wrap in its column of four hundred pixels, twice or more.";
        screen.icon = icon;
        return screen;
    }

    bool AnyPixelNot(COLORREF colour, const RECT& area) const {
        for (int y = area.top; y < area.bottom; ++y)
            for (int x = area.left; x < area.right; ++x)
                if (canvas.Pixel(x, y) != colour) return true;
        return false;
    }

    ScopedGdiplus gdiplus;
    PaintResources resources;
    CCanvas canvas;
};

TEST_F(PaintingTest, PaintScreen_StatusLineProgressBarAndMessageOutline) {
    for (const int progress : {0, 50, 100}) {
        SCOPED_TRACE(progress);
        WithoutArt();
        Screen screen = Message(L"Title");
        screen.progress = progress;
        Paint(screen);

        bool whiteText = false;
        for (int y = 0; y < 62; ++y) {
            EXPECT_EQ(kBlack, canvas.Pixel(5, y)) << "left of the text, row " << y;
            for (int x = 20; x < kWidth; ++x) whiteText = whiteText || canvas.Pixel(x, y) == kWhite;
        }
        EXPECT_TRUE(whiteText);

        const int filled = progress * kWidth / 100;
        // The white bar is drawn without a pen, so it ends one column short of the right edge.
        for (int x = 0; x < kWidth - 1; ++x) {
            EXPECT_EQ(x < filled ? kBlue : kWhite, canvas.Pixel(x, 66)) << "bar column " << x;
        }
        EXPECT_EQ(progress == 100, canvas.Pixel(kWidth - 1, 66) == kBlue);

        // Without a banner the message area starts under the bar; it reaches the bottom.
        for (int x = 0; x < kWidth; ++x) {
            EXPECT_EQ(kBlue, canvas.Pixel(x, 72));
            EXPECT_EQ(kBlue, canvas.Pixel(x, kHeight - 1));
        }
        for (int y = 72; y < kHeight; ++y) {
            EXPECT_EQ(kBlue, canvas.Pixel(0, y));
            EXPECT_EQ(kBlue, canvas.Pixel(kWidth - 1, y));
        }
        EXPECT_EQ(kBackground, canvas.Pixel(5, 90));
    }
    // A screen without progress shows its title in one band, with no empty bar under it.
    Screen titled = Message(L"Title");
    titled.showsProgress = false;
    Paint(titled);
    for (int y = 0; y < 72; ++y) EXPECT_EQ(kBlack, canvas.Pixel(5, y)) << "row " << y;
}

TEST_F(PaintingTest, PaintScreen_BannerSitsUnderTheBarAndPushesTheMessageDown) {
    ASSERT_TRUE(resources.banner) << "the program's banner";
    const SIZE size = GetImageSize(resources.banner.get());
    EXPECT_EQ(446, size.cx);
    EXPECT_EQ(200, size.cy);
    Paint(Message(L"Title"));
    auto* const banner = static_cast<Gdiplus::GpBitmap*>(resources.banner.get());
    for (const POINT at :
         {POINT{0, 0}, POINT{kWidth - 1, 0}, POINT{200, 100}, POINT{0, 199}, POINT{300, 199}}) {
        Gdiplus::ARGB colour = 0;
        GdipBitmapGetPixel(banner, at.x, at.y, &colour);
        EXPECT_EQ(RGB((colour >> 16) & 0xff, (colour >> 8) & 0xff, colour & 0xff),
                  canvas.Pixel(at.x, 72 + at.y))
            << at.x << "," << at.y;
    }
    EXPECT_EQ(kWhite, canvas.Pixel(kWidth - 2, 66));
    EXPECT_EQ(kBlue, canvas.Pixel(100, 272)) << "the message area's outline";
}

TEST_F(PaintingTest, PaintScreen_IconSitsLeftOfTheShiftedTitle) {
    WithoutArt();
    const PaintedScreen plain = Paint(Message(L"Download failed"));
    resources.errorIcon = SolidImage(18, 18, 0xff00ff00);
    const PaintedScreen withIcon = Paint(Message(L"Download failed", ScreenIcon::Error));

    EXPECT_EQ(plain.title.left + (18 + 4) / 2, withIcon.title.left);
    EXPECT_EQ(withIcon.title.left - 4, withIcon.icon.right);
    EXPECT_EQ(18, withIcon.icon.bottom - withIcon.icon.top);
    const int titleHeight = withIcon.title.bottom - withIcon.title.top;
    EXPECT_EQ(withIcon.title.top + (titleHeight - 18) / 2 + 2, withIcon.icon.top);
    EXPECT_EQ(RGB(0, 255, 0), canvas.Pixel(withIcon.icon.left + 9, withIcon.icon.top + 9));
    EXPECT_EQ(kBackground, canvas.Pixel(withIcon.icon.left - 2, withIcon.icon.top + 9));
}

TEST_F(PaintingTest, PaintScreen_WrappedTitleMovesTheBodyDown) {
    const PaintedScreen shortTitle = Paint(Message(L"Title"));
    const PaintedScreen longTitle =
        Paint(Message(L"A title far too long to stand on one line of this window"));
    const int grown =
        (longTitle.title.bottom - longTitle.title.top) - (shortTitle.title.bottom - shortTitle.title.top);
    EXPECT_GT(grown, 0);
    EXPECT_EQ(shortTitle.body.top + grown, longTitle.body.top);
    EXPECT_EQ(longTitle.title.bottom + 15, longTitle.body.top);
    EXPECT_LE(longTitle.body.right - longTitle.body.left, 400);
    EXPECT_TRUE(AnyPixelNot(kBackground, longTitle.body)) << "the body is drawn where it was measured";
    EXPECT_FALSE(AnyPixelNot(kBackground, {20, longTitle.title.bottom, kWidth - 20, longTitle.body.top}))
        << "nothing is drawn between the wrapped title and the body";
}

// Pixels of the canvas other than the background inside the area.
int CountInk(const CCanvas& canvas, const RECT& area, COLORREF background) {
    int ink = 0;
    for (int y = std::max<LONG>(area.top, 0); y < std::min<LONG>(area.bottom, kHeight); ++y)
        for (int x = std::max<LONG>(area.left, 0); x < std::min<LONG>(area.right, kWidth); ++x)
            ink += canvas.Pixel(x, y) != background;
    return ink;
}

TEST_F(PaintingTest, PaintScreen_EveryBodyShowsWholeInItsMeasuredRectangle) {
    WithoutArt();
    for (const LANGID language : kTableLanguages) {
        for (const UINT id : {IDS_CAROUSEL_BODY_1, IDS_CAROUSEL_BODY_2, IDS_CAROUSEL_BODY_3,
                              IDS_CAROUSEL_BODY_4, IDS_INSTALLED_BODY, IDS_DOWNLOAD_FAILED_BODY,
                              IDS_INSTALL_FAILED_BODY, IDS_LOCK_UNUSABLE_BODY}) {
            SCOPED_TRACE(testing::Message() << "language " << language << ", text " << id);
            Screen screen = Message(L"Title");
            screen.body = FindStoredString(language, id);
            const PaintedScreen painted = Paint(screen);

            // The same text, unclipped, in a column of the same width: every glyph it has.
            CCanvas reference;
            ::PatBlt(reference.dc(), 0, 0, kWidth, kHeight, WHITENESS);
            const HGDIOBJ original = ::SelectObject(reference.dc(), resources.bodyFont.get());
            ::SetBkMode(reference.dc(), TRANSPARENT);
            ::SetTextColor(reference.dc(), RGB(75, 75, 75));
            RECT column{0, 0, 400, kHeight};
            ::DrawTextW(reference.dc(), screen.body.c_str(), -1, &column,
                        DT_WORDBREAK | DT_CENTER | DT_NOCLIP);
            ::SelectObject(reference.dc(), original);

            EXPECT_GT(painted.body.bottom, painted.body.top);
            EXPECT_EQ(CountInk(reference, {0, 0, kWidth, kHeight}, kWhite) > 0,
                      CountInk(canvas, painted.body, kBackground) > 0);
            EXPECT_EQ(CountInk(reference, {0, 0, kWidth, kHeight}, kWhite),
                      CountInk(canvas, painted.body, kBackground))
                << "every glyph of the body lies in the rectangle it was measured into";
        }
    }
}

// Every Japanese and Chinese text broken for the body column: no line starts with closing punctuation
// or ends with opening punctuation, each line fits (a hanging full stop or comma aside), nothing is lost.
TEST_F(PaintingTest, BreakLines_KeepsPunctuationWithTheCharacterBeside) {
    const HGDIOBJ original = ::SelectObject(canvas.dc(), resources.bodyFont.get());
    const auto withoutBlanks = [](std::wstring text) {
        text.erase(
            std::remove_if(text.begin(), text.end(), [](wchar_t c) { return c == L' ' || c == L'\n'; }),
            text.end());
        return text;
    };
    for (const LANGID language : {LANGID{1041}, LANGID{2052}}) {
        for (UINT id = IDS_INSTALLING_FORMAT; id <= IDS_LOCK_UNUSABLE_BODY; ++id) {
            const std::wstring text = FindStoredString(language, id);
            SCOPED_TRACE(testing::Message() << "language " << language << ", text " << id);
            const std::wstring broken = BreakLines(canvas.dc(), text, 400);
            EXPECT_EQ(withoutBlanks(text), withoutBlanks(broken));
            for (size_t start = 0; start < broken.size();) {
                const size_t end = std::min(broken.find(L'\n', start), broken.size());
                std::wstring line = broken.substr(start, end - start);
                start = end + 1;
                ASSERT_FALSE(line.empty());
                EXPECT_EQ(nullptr,
                          std::wcschr(L"\u3001\u3002\uff0c\u300d\u300f\uff09\uff01\uff1f\u30fc\u3063\u30c3",
                                      line.front()))
                    << "line starts with closing punctuation";
                EXPECT_EQ(nullptr, std::wcschr(L"\u300c\u300e\uff08\u201c", line.back()))
                    << "line ends with opening punctuation";
                if (line.back() == L'\u3002' || line.back() == L'\u3001' || line.back() == L'\uff0c')
                    line.pop_back();
                SIZE size{};
                ::GetTextExtentPoint32W(canvas.dc(), line.c_str(), static_cast<int>(line.size()), &size);
                EXPECT_LE(size.cx, 400);
            }
        }
    }
    const std::wstring introduction =
        BreakLines(canvas.dc(), FindStoredString(1041, IDS_CAROUSEL_BODY_1), 400);
    EXPECT_NE(L"\u3059\u3002", introduction.substr(introduction.rfind(L'\n') + 1));
    ::SelectObject(canvas.dc(), original);
}

TEST_F(PaintingTest, FitTaglineToBanner_EveryTaglineShowsWholeOnTheBanner) {
    constexpr int kBanner = 442;
    constexpr int kRoom = kBanner - 92 - 20;  // the tagline's margins
    for (const LANGID language : kTableLanguages) {
        const std::wstring tagline = FindStoredString(language, IDS_TAGLINE);
        PaintResources fitted = CreatePaintResources(::GetModuleHandleW(nullptr));
        FitTaglineToBanner(fitted, canvas.dc(), tagline, kBanner);
        const HGDIOBJ original = ::SelectObject(canvas.dc(), fitted.taglineFont.get());
        SIZE size{};
        ::GetTextExtentPoint32W(canvas.dc(), tagline.c_str(), static_cast<int>(tagline.size()), &size);
        ::SelectObject(canvas.dc(), original);
        EXPECT_FALSE(tagline.empty());
        EXPECT_LE(size.cx, kRoom) << "language " << language;
    }
}

// A control of the window, alone, with its label in the given font.
class CLabelledControl {
public:
    CLabelledControl(HWND parent, const wchar_t* className, DWORD style, const std::wstring& label, SIZE size,
                     HFONT font)
        : m_window(::CreateWindowExW(0, className, label.c_str(), WS_CHILD | style, 0, 0, size.cx, size.cy,
                                     parent, nullptr, ::GetModuleHandleW(nullptr), nullptr)) {
        ::SendMessageW(m_window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    ~CLabelledControl() { ::DestroyWindow(m_window); }
    // What the control draws inside the frame (a button's, `frame` pixels wide), counted in pixels that
    // differ from the background; the background is taken from near the bottom-right corner when none is
    // given, where a roomy control draws nothing.
    int Ink(CCanvas& canvas, int frame, COLORREF& background) const {
        RECT client{};
        ::GetClientRect(m_window, &client);
        ::PatBlt(canvas.dc(), 0, 0, kWidth, kHeight, BLACKNESS);
        ::SendMessageW(m_window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(canvas.dc()),
                       PRF_CLIENT | PRF_ERASEBKGND);
        if (background == CLR_INVALID) background = canvas.Pixel(client.right - 3, client.bottom - 3);
        ::InflateRect(&client, -frame, -frame);
        return CountInk(canvas, client, background);
    }

private:
    HWND m_window;
};

TEST_F(PaintingTest, MeasureControl_EveryLabelFitsItsControlAt96And144Dpi) {
    const HWND parent = ::CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, kWidth, kHeight, nullptr,
                                          nullptr, ::GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(parent);
    struct Label {
        UINT id;
        ControlKind kind;
        const wchar_t* className;
        DWORD style;
        bool bold;
    };
    const Label labels[] = {
        {IDS_EXIT, ControlKind::Button, L"Button", BS_FLAT, false},
        {IDS_UNINSTALL, ControlKind::Button, L"Button", BS_FLAT, false},
        {IDS_DONE, ControlKind::Button, L"Button", BS_FLAT, false},
        {IDS_RETRY, ControlKind::Button, L"Button", BS_FLAT, false},
        {IDS_INSTALL, ControlKind::Button, L"Button", BS_FLAT, true},
        {IDS_DESKTOP_SHORTCUT, ControlKind::CheckBox, L"Button", BS_AUTOCHECKBOX, false},
        {IDS_START_MENU_SHORTCUT, ControlKind::CheckBox, L"Button", BS_AUTOCHECKBOX, false},
        {IDS_HELP_LINK, ControlKind::Link, L"Static", SS_NOTIFY | SS_CENTER | SS_CENTERIMAGE, false},
        {IDS_EMAIL_LINK, ControlKind::Link, L"Static", SS_NOTIFY | SS_CENTER | SS_CENTERIMAGE, false},
    };
    for (const UINT dpi : {96u, 144u}) {
        // The window's own fonts at that density: the message font, and its bold form.
        const PaintResources fonts = CreatePaintResources(::GetModuleHandleW(nullptr), dpi);
        for (const LANGID language : kTableLanguages) {
            for (const Label& label : labels) {
                SCOPED_TRACE(testing::Message()
                             << dpi << " dpi, language " << language << ", text " << label.id);
                const std::wstring text = FindStoredString(language, label.id);
                const HFONT drawn = label.bold ? fonts.boldFont.get() : fonts.normalFont.get();
                SIZE size = MeasureControl(canvas.dc(), drawn, text, label.kind);
                // The window's padding around a button's label.
                if (label.kind == ControlKind::Button) size = {size.cx + 10, size.cy + 10};
                const CLabelledControl measured(parent, label.className, label.style, text, size, drawn);
                const CLabelledControl roomy(parent, label.className, label.style, text,
                                             {size.cx + 200, size.cy + 40}, drawn);
                const int frame = label.kind == ControlKind::Button ? 2 : 0;
                COLORREF background = CLR_INVALID;
                const int whole = roomy.Ink(canvas, frame, background);
                const int ink = measured.Ink(canvas, frame, background);
                EXPECT_GT(ink, 0);
                EXPECT_EQ(whole, ink) << "the label is cut";
            }
        }
    }
    ::DestroyWindow(parent);
}

TEST_F(PaintingTest, PaintScreen_LeavesNoGdiObjectBehind) {
    resources.banner = SolidImage(446, 200, 0xffff0000);
    resources.successIcon = SolidImage(18, 18, 0xff00ff00);
    Paint(Message(L"Warm-up", ScreenIcon::Success));
    const size_t before = CountFreeGdiHandles();
    for (int i = 0; i < 100; ++i) Paint(Message(L"Installation is complete", ScreenIcon::Success));
    EXPECT_EQ(before, CountFreeGdiHandles());
}

TEST_F(PaintingTest, LoadPngImage_MissingOrBrokenGivesNoImage) {
    const HINSTANCE module = ::GetModuleHandleW(nullptr);
    const unique_gdip_image small = LoadPngImage(module, 901);
    ASSERT_TRUE(small);
    EXPECT_EQ(3, GetImageSize(small.get()).cx);
    EXPECT_EQ(2, GetImageSize(small.get()).cy);
    EXPECT_FALSE(LoadPngImage(module, 902));
    EXPECT_FALSE(LoadPngImage(module, 903));

    // Without images the message area starts right under the bar and painting still works.
    WithoutArt();
    Paint(Message(L"Title", ScreenIcon::Error));
    EXPECT_EQ(kBackground, canvas.Pixel(200, 150));
}

TEST_F(PaintingTest, PaintScreen_HighContrastPaintsInTheUsersColoursOnly) {
    resources = CreatePaintResources(::GetModuleHandleW(nullptr), 96, ChoosePalette(true));
    WithoutArt();
    Screen screen = Message(L"Title");
    screen.progress = 50;
    Paint(screen);
    const COLORREF window = ::GetSysColor(COLOR_WINDOW);
    EXPECT_EQ(::GetSysColor(COLOR_WINDOWTEXT), canvas.Pixel(0, 0)) << "the status line's outline";
    EXPECT_EQ(window, canvas.Pixel(5, 30)) << "the status line";
    EXPECT_EQ(::GetSysColor(COLOR_HIGHLIGHT), canvas.Pixel(5, 66)) << "the progress bar's fill";
    EXPECT_EQ(window, canvas.Pixel(kWidth - 5, 66)) << "the rest of the bar";
    EXPECT_EQ(window, canvas.Pixel(5, 90)) << "the message area";
    int ownGrey = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) ownGrey += canvas.Pixel(x, y) == kBackground;
    EXPECT_EQ(0, ownGrey) << "none of the window's own grey";
}

TEST(PaletteTest, LinksStayReadableWhateverTheSystemLinkColour) {
    EXPECT_NEAR(21.0, ContrastRatio(RGB(0, 0, 0), RGB(255, 255, 255)), 0.01);
    EXPECT_NEAR(1.15, ContrastRatio(RGB(0xE0, 0xE0, 0xE0), kBackground), 0.01);
    EXPECT_GE(ContrastRatio(RGB(0, 102, 204), kBackground), 4.5);
    const COLORREF system = ::GetSysColor(COLOR_HOTLIGHT);
    const COLORREF link = ChoosePalette(false).link;
    EXPECT_GE(ContrastRatio(link, kBackground), 4.5);
    EXPECT_EQ(ContrastRatio(system, kBackground) >= 4.5 ? system : RGB(0, 102, 204), link);
}

TEST(DensityTest, ArtDrawnForTheNearestDensityShownAtTheWindowsOwn) {
    const ScopedGdiplus gdiplus;
    const struct {
        UINT dpi;
        LONG drawnWidth;
        LONG shownWidth;
        LONG iconSide;
    } densities[] = {{96, 446, 446, 18}, {120, 669, 558, 23}, {144, 669, 669, 27}, {192, 892, 892, 36}};
    for (const auto& density : densities) {
        SCOPED_TRACE(density.dpi);
        const PaintResources resources = CreatePaintResources(::GetModuleHandleW(nullptr), density.dpi);
        ASSERT_TRUE(resources.banner && resources.errorIcon);
        EXPECT_EQ(density.drawnWidth, GetImageSize(resources.banner.get()).cx);
        EXPECT_EQ(density.shownWidth, ShownImageSize(resources.banner.get(), resources).cx);
        EXPECT_EQ(density.iconSide, ShownImageSize(resources.errorIcon.get(), resources).cy);
        const WindowLayout layout =
            ComputeWindowLayout({0, 0, Scale(442, density.dpi), Scale(574, density.dpi)}, resources);
        EXPECT_EQ(Scale(72, density.dpi) + ShownImageSize(resources.banner.get(), resources).cy,
                  layout.message.top)
            << "a client area as large as the density asks has room for the whole banner";
    }
}

}  // namespace
}  // namespace tessara
