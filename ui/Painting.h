#pragma once
// Drawing the interactive window: the drawing resources it keeps for its lifetime, the PNG images from
// the resources, and one paint of a given screen into any device context.
#include <windows.h>
#include <gdiplus.h>

#include "app/ScopedWin.h"
#include "ui/Screen.h"

namespace tessara {

using unique_gdip_image =
    UniqueResource<SimpleTraits<Gdiplus::GpImage*, Gdiplus::DllExports::GdipDisposeImage>>;

// GDI+ for the lifetime of the object; images must be released before it ends.
class ScopedGdiplus {
public:
    ScopedGdiplus() {
        const Gdiplus::GdiplusStartupInput startup;
        Gdiplus::GdiplusStartup(&m_token, &startup, nullptr);
    }
    ScopedGdiplus(const ScopedGdiplus&) = delete;
    ScopedGdiplus& operator=(const ScopedGdiplus&) = delete;
    ~ScopedGdiplus() {
        if (m_token) Gdiplus::GdiplusShutdown(m_token);
    }

private:
    ULONG_PTR m_token = 0;
};

// A PNG resource of the module as a GDI+ image; empty when it is missing or cannot be decoded.
unique_gdip_image LoadPngImage(HINSTANCE instance, UINT id);
SIZE GetImageSize(Gdiplus::GpImage* image);

// A length of the layout at 96 dots per inch, at the given density.
inline int Scale(int length, UINT dpi) { return ::MulDiv(length, static_cast<int>(dpi), 96); }

// The density of the monitor the window is on, or the system's where the platform knows no other.
UINT WindowDpi(HWND window);

// Whether the user chose a high-contrast theme.
bool IsHighContrast();

// The colours of a paint. In a high-contrast theme they are the user's system colours; otherwise the
// window's own, with links in the system's link colour as long as it stays readable.
struct Palette {
    COLORREF background;
    COLORREF statusBar;
    COLORREF statusText;
    COLORREF title;
    COLORREF body;
    COLORREF progressTrack;
    COLORREF accent;  // the progress bar's fill and the message area's outline
    COLORREF link;
    COLORREF tagline;
};

Palette ChoosePalette(bool highContrast);

// The contrast ratio of two colours as the accessibility guidelines define it, from 1 to 21.
double ContrastRatio(COLORREF first, COLORREF second);

struct PaintResources {
    UINT dpi = 96;
    UINT artDpi = 96;  // the density the images were drawn for
    Palette palette{};
    unique_hfont normalFont;
    unique_hfont boldFont;
    unique_hfont bodyFont;
    unique_hfont titleFont;
    unique_hfont taglineFont;
    unique_hbrush backgroundBrush;
    unique_hpen statusPen;
    unique_hbrush statusBrush;
    unique_hbrush trackBrush;
    unique_hpen accentPen;
    unique_hbrush accentBrush;
    unique_gdip_image banner;
    unique_gdip_image successIcon;
    unique_gdip_image errorIcon;
};

// Fonts from the system's message font at the given density, the pens and brushes in the palette of
// the current theme, and the images drawn for the nearest density. GDI+ must have been started.
PaintResources CreatePaintResources(HINSTANCE instance, UINT dpi = 96,
                                    const Palette& palette = ChoosePalette(IsHighContrast()));

// An image's size on the screen: its own, scaled from the density it was drawn for.
SIZE ShownImageSize(Gdiplus::GpImage* image, const PaintResources& resources);

// The fixed bands of the client area; the message area starts below the banner, which gives up height
// first when the client area is short.
struct WindowLayout {
    RECT status{};
    RECT progress{};
    RECT message{};
};

WindowLayout ComputeWindowLayout(const RECT& client, const PaintResources& resources);

// What a child control draws around its label: a button its frame, a check box its box, a link the
// room for its focus rectangle.
enum class ControlKind { Button, CheckBox, Link };

// The size a control needs to show its whole label on one line, measured with the font the control
// draws it with.
SIZE MeasureControl(HDC dc, HFONT font, const std::wstring& label, ControlKind kind);
// Room between a link's label and its edges, where the focus rectangle goes.
constexpr int kLinkFocusMargin = 2;

// Sets the tagline a little smaller when it is wider than a banner `bannerWidth` wide allows (the Russian
// one is), so that it shows whole; done once per set of resources, not at every paint.
void FitTaglineToBanner(PaintResources& resources, HDC dc, const std::wstring& tagline, int bannerWidth);

// The text broken into lines ('\n' between them) that fit `width` in the font selected into `dc`.
// Lines break after blanks and, in Chinese and Japanese, between any two characters, but never before
// closing punctuation ("\u3002", "\u3001", "\u300d", "\uff09", small kana ...) nor after opening
// punctuation: such a mark stays with the character beside it. A full stop or comma of those scripts
// may hang past the line's end rather than take its character onto the next line. A single word
// wider than the line stands on a line of its own.
std::wstring BreakLines(HDC dc, const std::wstring& text, int width);

// Where the texts of a paint ended up; the e-mail link follows the body.
struct PaintedScreen {
    RECT title{};
    RECT icon{};
    RECT body{};
};

// Draws the whole client area off-screen and copies it to the target in one piece.
PaintedScreen PaintScreen(HDC target, const RECT& client, const WindowLayout& layout, const Screen& screen,
                          const PaintResources& resources);

}  // namespace tessara
