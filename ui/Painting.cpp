#include "ui/Painting.h"

#include <shlwapi.h>

#include <algorithm>
#include <cmath>
#include <cwchar>

#include "app/SystemLibrary.h"
#include "res/resource.h"

namespace tessara {
namespace {

using namespace Gdiplus::DllExports;
using unique_gdip_graphics = UniqueResource<SimpleTraits<Gdiplus::GpGraphics*, GdipDeleteGraphics>>;
void ReleaseStream(IStream* stream) { stream->Release(); }
using unique_stream = UniqueResource<SimpleTraits<IStream*, ReleaseStream>>;

constexpr COLORREF kBackgroundColour = RGB(239, 239, 239);
constexpr COLORREF kBlue = RGB(21, 115, 230);
// What links fall back to when the system's link colour is too faint on our background.
constexpr COLORREF kDefaultLinkBlue = RGB(0, 102, 204);
constexpr double kReadableContrast = 4.5;
// Lengths at 96 dots per inch.
constexpr int kStatusHeight = 62;
constexpr int kProgressBottom = 72;
constexpr int kStatusTextIndent = 20;
constexpr int kTitleOffset = 28;
constexpr int kIconGap = 4;
constexpr int kBodyGap = 15;
constexpr int kBodyColumnWidth = 400;
constexpr int kMessageMinHeight = 268;  // what the tallest screen needs below the banner
constexpr int kTaglineLeft = 92;
constexpr int kTaglineTop = 102;
constexpr int kTaglineHeight = 16;
constexpr int kTitleHeight = 28;
constexpr int kBodyHeight = 20;

// The off-screen image of one paint. Owns the memory context and its bitmap, and puts back every
// object the context started with before any of them is deleted, so that nothing a paint created
// outlives it.
class CPaintBuffer {
public:
    CPaintBuffer(HDC target, int width, int height, HBRUSH background) : m_dc(::CreateCompatibleDC(target)) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        info.bmiHeader.biSizeImage = static_cast<DWORD>(width) * static_cast<DWORD>(height) * 4;
        void* bits = nullptr;
        m_bitmap.reset(::CreateDIBSection(target, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        if (!m_dc || !m_bitmap || !background) return;
        m_originalPen = ::GetCurrentObject(m_dc.get(), OBJ_PEN);
        m_originalFont = ::GetCurrentObject(m_dc.get(), OBJ_FONT);
        m_originalBitmap = ::SelectObject(m_dc.get(), m_bitmap.get());
        m_originalBrush = ::SelectObject(m_dc.get(), background);
        m_ready = true;
    }
    CPaintBuffer(const CPaintBuffer&) = delete;
    CPaintBuffer& operator=(const CPaintBuffer&) = delete;
    ~CPaintBuffer() {
        if (!m_ready) return;
        ::SelectObject(m_dc.get(), m_originalBitmap);
        ::SelectObject(m_dc.get(), m_originalBrush);
        ::SelectObject(m_dc.get(), m_originalPen);
        ::SelectObject(m_dc.get(), m_originalFont);
    }

    explicit operator bool() const { return m_ready; }
    HDC dc() const { return m_dc.get(); }

private:
    unique_hdc m_dc;
    unique_hbitmap m_bitmap;
    HGDIOBJ m_originalBitmap = nullptr;
    HGDIOBJ m_originalBrush = nullptr;
    HGDIOBJ m_originalPen = nullptr;
    HGDIOBJ m_originalFont = nullptr;
    bool m_ready = false;
};

unique_hfont FittedFont(HDC dc, HFONT font, const std::wstring& text, int width);

void SelectObjects(HDC dc, HGDIOBJ pen, HGDIOBJ brush) {
    ::SelectObject(dc, pen);
    ::SelectObject(dc, brush);
}

// Draws the part of the image at `source` (in the image's pixels) into `target`, scaled to fit.
void DrawImage(HDC dc, Gdiplus::GpImage* image, const RECT& target, const RECT& source) {
    if (!image) return;
    unique_gdip_graphics graphics;
    if (GdipCreateFromHDC(dc, graphics.put()) != Gdiplus::Ok) return;
    GdipSetInterpolationMode(graphics.get(), Gdiplus::InterpolationModeHighQualityBicubic);
    GdipSetPixelOffsetMode(graphics.get(), Gdiplus::PixelOffsetModeHalf);
    GdipDrawImageRectRectI(graphics.get(), image, target.left, target.top, target.right - target.left,
                           target.bottom - target.top, source.left, source.top, source.right - source.left,
                           source.bottom - source.top, Gdiplus::UnitPixel, nullptr, nullptr, nullptr);
}

void DrawImage(HDC dc, Gdiplus::GpImage* image, const RECT& target) {
    if (!image) return;
    const SIZE size = GetImageSize(image);
    DrawImage(dc, image, target, {0, 0, size.cx, size.cy});
}

// The banner fills its band; when the band is shorter than the banner, the banner's middle shows.
void DrawBanner(HDC dc, const RECT& band, const std::wstring& tagline, const PaintResources& resources) {
    Gdiplus::GpImage* const banner = resources.banner.get();
    if (!banner || band.bottom <= band.top) return;
    const SIZE image = GetImageSize(banner);
    const SIZE shown = ShownImageSize(banner, resources);
    const int height = band.bottom - band.top;
    const int sourceHeight = ::MulDiv(height, image.cy, shown.cy);
    const int sourceTop = (image.cy - sourceHeight) / 2;
    DrawImage(dc, banner, {band.left, band.top, band.left + shown.cx, band.bottom},
              {0, sourceTop, image.cx, sourceTop + sourceHeight});

    const UINT dpi = resources.dpi;
    const int top = band.top + Scale(kTaglineTop, dpi) - ::MulDiv(sourceTop, shown.cy, image.cy);
    RECT text{band.left + Scale(kTaglineLeft, dpi), top, band.right - Scale(kStatusTextIndent, dpi),
              top + Scale(kTaglineHeight, dpi) + Scale(4, dpi)};
    ::SelectObject(dc, resources.taglineFont.get());
    ::SetTextColor(dc, resources.palette.tagline);
    ::DrawTextW(dc, tagline.c_str(), -1, &text, DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
}

bool IsIdeographic(wchar_t c) {
    return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFFEF);
}

// Characters that never start a line, and those that never end one.
bool IsClosing(wchar_t c) {
    return std::wcschr(
               L"\u3001\u3002\uff0c\uff0e\u30fb\uff1a\uff1b\uff1f\uff01\u309b\u309c\u30fd"
               L"\u30fe\u309d\u309e\u3005\u30fc\uff09\uff3d\uff5d\u3015\u3009\u300b\u300d"
               L"\u300f\u3011\u3019\u3017\u301f\u2019\u201d\uff60\u00bb\u301c\uff5e"
               L"\u3041\u3043\u3045\u3047\u3049\u3063\u3083\u3085\u3087\u308e\u30a1\u30a3"
               L"\u30a5\u30a7\u30a9\u30c3\u30e3\u30e5\u30e7\u30ee\u30f5\u30f6)]},.:;!?%",
               c) != nullptr &&
           c != L'\0';
}

bool IsOpening(wchar_t c) {
    return std::wcschr(
               L"\uff08\uff3b\uff5b\u3014\u3008\u300a\u300c\u300e\u3010\u3018\u3016\u301d"
               L"\u2018\u201c\uff5f\u00ab([{",
               c) != nullptr &&
           c != L'\0';
}

// The full stops and commas that may hang past the end of a line.
bool Hangs(wchar_t c) { return c == 0x3001 || c == 0x3002 || c == 0xFF0C || c == 0xFF0E; }

// Whether a line may start at `at`.
bool MayBreakBefore(const std::wstring& text, size_t at) {
    const wchar_t before = text[at - 1];
    const wchar_t here = text[at];
    if (before == L'\n') return true;
    if (here == L' ' || here == L'\n' || IsClosing(here) || IsOpening(before)) return false;
    return before == L' ' || IsIdeographic(before) || IsIdeographic(here);
}

}  // namespace

std::wstring BreakLines(HDC dc, const std::wstring& text, int width) {
    const auto fits = [&](size_t from, size_t to) {
        while (to > from && (text[to - 1] == L' ' || text[to - 1] == L'\n')) --to;
        if (to > from && Hangs(text[to - 1])) --to;
        SIZE size{};
        ::GetTextExtentPoint32W(dc, text.c_str() + from, static_cast<int>(to - from), &size);
        return size.cx <= width;
    };
    const auto lineOf = [&](size_t from, size_t to) {
        while (to > from && (text[to - 1] == L' ' || text[to - 1] == L'\n')) --to;
        return text.substr(from, to - from);
    };
    std::wstring lines;
    size_t start = 0;
    size_t end = 0;  // where the line from `start` may end so far
    for (size_t at = 1; at <= text.size(); ++at) {
        if (at < text.size() && !MayBreakBefore(text, at)) continue;
        const bool forced = at < text.size() && text[at - 1] == L'\n';
        if (end > start && !fits(start, at)) {
            lines += lineOf(start, end) + L'\n';
            start = end;
        }
        end = at;
        if (forced) {
            lines += lineOf(start, end) + L'\n';
            start = end;
        }
    }
    return lines + lineOf(start, text.size());
}

namespace {

// The black band at the top; without progress it takes in the bar's strip, so that a title stands in
// one band and no empty bar shows.
void DrawStatusLine(HDC dc, const RECT& area, const Screen& screen, const PaintResources& resources) {
    SelectObjects(dc, resources.statusPen.get(), resources.statusBrush.get());
    ::Rectangle(dc, area.left, area.top, area.right, area.bottom);
    ::SetTextColor(dc, resources.palette.statusText);
    RECT text = area;
    text.left += Scale(kStatusTextIndent, resources.dpi);
    text.right -= Scale(kStatusTextIndent, resources.dpi);
    // A long text (the waiting one) is set smaller, and if that is not enough it takes two lines, centred
    // down the band as one line is.
    const unique_hfont fitted =
        FittedFont(dc, resources.titleFont.get(), screen.status, text.right - text.left);
    ::SelectObject(dc, fitted ? fitted.get() : resources.titleFont.get());
    constexpr UINT kFormat = DT_WORDBREAK | DT_NOPREFIX | DT_END_ELLIPSIS;
    RECT measured = text;
    ::DrawTextW(dc, screen.status.c_str(), -1, &measured, kFormat | DT_CALCRECT);
    const LONG height = std::min(measured.bottom - measured.top, text.bottom - text.top);
    text.top += (text.bottom - text.top - height) / 2;
    text.bottom = text.top + height;
    ::DrawTextW(dc, screen.status.c_str(), -1, &text, kFormat);
    // Put back before the fitted font is deleted.
    ::SelectObject(dc, resources.titleFont.get());
}

void DrawProgressBar(HDC dc, const RECT& bar, int progress, const PaintResources& resources) {
    SelectObjects(dc, ::GetStockObject(NULL_PEN), resources.trackBrush.get());
    ::Rectangle(dc, bar.left, bar.top, bar.right, bar.bottom);
    // The accent pen stays selected: it also outlines the message area.
    SelectObjects(dc, resources.accentPen.get(), resources.accentBrush.get());
    const int filled = progress * (bar.right - bar.left) / 100;
    if (filled > 0) ::Rectangle(dc, bar.left, bar.top, bar.left + filled, bar.bottom - 1);
}

void CentreHorizontally(RECT& rect, int width) {
    ::OffsetRect(&rect, (width - (rect.right - rect.left)) / 2 - rect.left, 0);
}

Gdiplus::GpImage* IconOf(ScreenIcon icon, const PaintResources& resources) {
    switch (icon) {
        case ScreenIcon::Success:
            return resources.successIcon.get();
        case ScreenIcon::Error:
            return resources.errorIcon.get();
        case ScreenIcon::None:
            break;
    }
    return nullptr;
}

// Title with its icon, then the body under it; the blue pen is still selected for the outline.
PaintedScreen DrawMessage(HDC dc, const RECT& client, const RECT& area, HBRUSH background,
                          const Screen& screen, const PaintResources& resources) {
    const int width = client.right;
    ::SelectObject(dc, ::GetStockObject(NULL_BRUSH));
    ::SelectObject(dc, background);
    ::Rectangle(dc, area.left, area.top, area.right, client.bottom);

    PaintedScreen painted;
    const UINT dpi = resources.dpi;
    const int iconGap = Scale(kIconGap, dpi);
    const int columnWidth = Scale(kBodyColumnWidth, dpi);
    const int titleTop = area.top + Scale(kTitleOffset, dpi);
    Gdiplus::GpImage* const icon = IconOf(screen.icon, resources);
    const SIZE iconSize = icon ? ShownImageSize(icon, resources) : SIZE{};
    ::SelectObject(dc, resources.titleFont.get());
    // Narrower by the icon on both sides, so that the title, moved right by half of it, keeps off the edge.
    const std::wstring title =
        BreakLines(dc, screen.title, area.right - area.left - (icon ? 2 * (iconSize.cx + iconGap) : 0));
    painted.title = {area.left, titleTop, area.right, titleTop + 1};
    ::DrawTextW(dc, title.c_str(), -1, &painted.title, DT_CALCRECT | DT_CENTER);
    CentreHorizontally(painted.title, width);
    if (icon) ::OffsetRect(&painted.title, (iconSize.cx + iconGap) / 2, 0);
    ::SetTextColor(dc, resources.palette.title);
    ::DrawTextW(dc, title.c_str(), -1, &painted.title, DT_CENTER);

    if (icon) {
        const int titleHeight = painted.title.bottom - painted.title.top;
        const int x = painted.title.left - iconSize.cx - iconGap;
        const int y = painted.title.top + (titleHeight - iconSize.cy) / 2 + Scale(2, dpi);
        painted.icon = {x, y, x + iconSize.cx, y + iconSize.cy};
        DrawImage(dc, icon, painted.icon);
    }

    ::SelectObject(dc, resources.bodyFont.get());
    const int columnLeft = (width - columnWidth) / 2;
    painted.body = {columnLeft, painted.title.bottom + Scale(kBodyGap, dpi), columnLeft + columnWidth,
                    client.bottom};
    const std::wstring body = BreakLines(dc, screen.body, columnWidth);
    RECT measured = painted.body;
    ::DrawTextW(dc, body.c_str(), -1, &measured, DT_CALCRECT | DT_CENTER);
    painted.body.bottom = measured.bottom;
    ::SetTextColor(dc, resources.palette.body);
    ::DrawTextW(dc, body.c_str(), -1, &painted.body, DT_CENTER);
    return painted;
}

unique_hfont CreateFontFrom(LOGFONTW font, LONG height, LONG weight) {
    if (height) font.lfHeight = height;
    if (weight) font.lfWeight = weight;
    return unique_hfont(::CreateFontIndirectW(&font));
}

// A smaller cut of the font in which the text fits the width, no smaller than three quarters: below,
// the line would no longer read as the one it stands for, and an ellipsis takes over. Empty when the
// text fits as it is.
unique_hfont FittedFont(HDC dc, HFONT font, const std::wstring& text, int width) {
    const auto widthIn = [&](HFONT candidate) {
        const HGDIOBJ previous = ::SelectObject(dc, candidate);
        SIZE size{};
        ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        ::SelectObject(dc, previous);
        return size.cx;
    };
    const LONG needed = widthIn(font);
    LOGFONTW logFont{};
    if (needed <= width || width <= 0 || !::GetObjectW(font, sizeof logFont, &logFont)) return {};
    // Glyph widths do not scale exactly with the height, so the estimate is checked.
    const LONG full = std::abs(logFont.lfHeight);
    const LONG smallest = full * 3 / 4;
    LONG height = std::max<LONG>(::MulDiv(full, width, needed), smallest);
    const LONG sign = logFont.lfHeight < 0 ? -1 : 1;
    unique_hfont fitted = CreateFontFrom(logFont, sign * height, 0);
    while (height > smallest && fitted && widthIn(fitted.get()) > width)
        fitted = CreateFontFrom(logFont, sign * --height, 0);
    return fitted;
}

UINT SystemDpi() {
    const ScopedWindowDC screen(nullptr);
    return static_cast<UINT>(::GetDeviceCaps(screen.get(), LOGPIXELSY));
}

// The system's message font as it is at the given density. Systems before per-monitor densities know
// one density, the system's, and scale the font for it themselves.
LOGFONTW MessageFont(UINT dpi) {
    NONCLIENTMETRICSW metrics{};
    static_assert(sizeof metrics == 504, "the metrics of the system's message font");
    metrics.cbSize = sizeof metrics;
    using ForDpi = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
    const auto forDpi =
        ProcAs<ForDpi>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "SystemParametersInfoForDpi"));
    if (forDpi && forDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi))
        return metrics.lfMessageFont;
    ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    metrics.lfMessageFont.lfHeight =
        ::MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi), static_cast<int>(SystemDpi()));
    return metrics.lfMessageFont;
}

// Relative luminance of an sRGB colour.
double Luminance(COLORREF colour) {
    const auto channel = [](BYTE value) {
        const double c = value / 255.0;
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(GetRValue(colour)) + 0.7152 * channel(GetGValue(colour)) +
           0.0722 * channel(GetBValue(colour));
}

}  // namespace

void FitTaglineToBanner(PaintResources& resources, HDC dc, const std::wstring& tagline, int bannerWidth) {
    const int width =
        bannerWidth - Scale(kTaglineLeft, resources.dpi) - Scale(kStatusTextIndent, resources.dpi);
    if (unique_hfont fitted = FittedFont(dc, resources.taglineFont.get(), tagline, width))
        resources.taglineFont = std::move(fitted);
}

UINT WindowDpi(HWND window) {
    using ForWindow = UINT(WINAPI*)(HWND);
    const auto forWindow =
        ProcAs<ForWindow>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow"));
    const UINT dpi = forWindow && window ? forWindow(window) : 0;
    return dpi ? dpi : SystemDpi();
}

double ContrastRatio(COLORREF first, COLORREF second) {
    const double a = Luminance(first);
    const double b = Luminance(second);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

Palette ChoosePalette(bool highContrast) {
    if (highContrast) {
        const COLORREF window = ::GetSysColor(COLOR_WINDOW);
        const COLORREF text = ::GetSysColor(COLOR_WINDOWTEXT);
        return {window,
                window,
                text,
                text,
                text,
                window,
                ::GetSysColor(COLOR_HIGHLIGHT),
                ::GetSysColor(COLOR_HOTLIGHT),
                text};
    }
    const COLORREF link = ::GetSysColor(COLOR_HOTLIGHT);
    return {kBackgroundColour,
            RGB(0, 0, 0),
            RGB(255, 255, 255),
            RGB(45, 45, 45),
            RGB(75, 75, 75),
            RGB(255, 255, 255),
            kBlue,
            ContrastRatio(link, kBackgroundColour) >= kReadableContrast ? link : kDefaultLinkBlue,
            RGB(200, 222, 255)};
}

SIZE ShownImageSize(Gdiplus::GpImage* image, const PaintResources& resources) {
    const SIZE size = GetImageSize(image);
    const int dpi = static_cast<int>(resources.dpi);
    const int artDpi = static_cast<int>(resources.artDpi);
    return {::MulDiv(size.cx, dpi, artDpi), ::MulDiv(size.cy, dpi, artDpi)};
}

unique_gdip_image LoadPngImage(HINSTANCE instance, UINT id) {
    const HRSRC resource = ::FindResourceW(instance, MAKEINTRESOURCEW(id), L"PNG");
    const DWORD size = resource ? ::SizeofResource(instance, resource) : 0;
    if (size == 0) return {};
    const HGLOBAL loaded = ::LoadResource(instance, resource);
    const auto* bytes = loaded ? static_cast<const BYTE*>(::LockResource(loaded)) : nullptr;
    if (!bytes) return {};
    const unique_stream stream(::SHCreateMemStream(bytes, size));
    unique_gdip_image image;
    if (!stream || GdipLoadImageFromStream(stream.get(), image.put()) != Gdiplus::Ok) return {};
    return image;
}

SIZE GetImageSize(Gdiplus::GpImage* image) {
    UINT width = 0;
    UINT height = 0;
    GdipGetImageWidth(image, &width);
    GdipGetImageHeight(image, &height);
    return {static_cast<LONG>(width), static_cast<LONG>(height)};
}

PaintResources CreatePaintResources(HINSTANCE instance, UINT dpi, const Palette& palette) {
    const LOGFONTW message = MessageFont(dpi);
    PaintResources resources;
    resources.dpi = dpi;
    resources.palette = palette;
    resources.normalFont = CreateFontFrom(message, 0, 0);
    resources.boldFont = CreateFontFrom(message, 0, 600);
    resources.bodyFont = CreateFontFrom(message, Scale(kBodyHeight, dpi), 0);
    resources.titleFont = CreateFontFrom(message, Scale(kTitleHeight, dpi), 600);
    resources.taglineFont = CreateFontFrom(message, Scale(kTaglineHeight, dpi), 0);
    // In a high-contrast theme the status line is outlined in the text colour on the window colour.
    resources.statusPen.reset(
        ::CreatePen(PS_SOLID, 1, palette.statusText == palette.title ? palette.title : palette.statusBar));
    resources.backgroundBrush.reset(::CreateSolidBrush(palette.background));
    resources.statusBrush.reset(::CreateSolidBrush(palette.statusBar));
    resources.trackBrush.reset(::CreateSolidBrush(palette.progressTrack));
    resources.accentPen.reset(::CreatePen(PS_SOLID, 1, palette.accent));
    resources.accentBrush.reset(::CreateSolidBrush(palette.accent));
    // The images drawn for the nearest density; a tie goes to the larger, which scales down cleanly.
    const int scale = dpi >= 168 ? 2 : dpi >= 120 ? 1 : 0;
    resources.artDpi = 96 + 48 * static_cast<UINT>(scale);
    const UINT banners[] = {IDP_BANNER, IDP_BANNER_150, IDP_BANNER_200};
    const UINT successIcons[] = {IDP_SUCCESS_ICON, IDP_SUCCESS_ICON_150, IDP_SUCCESS_ICON_200};
    const UINT errorIcons[] = {IDP_ERROR_ICON, IDP_ERROR_ICON_150, IDP_ERROR_ICON_200};
    resources.banner = LoadPngImage(instance, banners[scale]);
    resources.successIcon = LoadPngImage(instance, successIcons[scale]);
    resources.errorIcon = LoadPngImage(instance, errorIcons[scale]);
    return resources;
}

SIZE MeasureControl(HDC dc, HFONT font, const std::wstring& label, ControlKind kind) {
    const HGDIOBJ original = ::SelectObject(dc, font);
    RECT rect{0, 0, 0, 0};
    ::DrawTextW(dc, label.c_str(), -1, &rect, DT_CALCRECT | DT_SINGLELINE);
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc, &metrics);
    ::SelectObject(dc, original);
    SIZE size{rect.right, rect.bottom};
    switch (kind) {
        case ControlKind::Button:
            break;
        case ControlKind::CheckBox: {
            // The box, the gap the control leaves between it and the label (which grows with the
            // font), and the edge it keeps above and below the label.
            const int box = ::GetSystemMetrics(SM_CXMENUCHECK);
            size.cx += box + 2 * ::GetSystemMetrics(SM_CXEDGE) + metrics.tmAveCharWidth / 2;
            size.cy = std::max<LONG>(size.cy + 2 * ::GetSystemMetrics(SM_CYEDGE), box);
            break;
        }
        case ControlKind::Link:
            size.cx += 2 * kLinkFocusMargin;
            size.cy += 2 * kLinkFocusMargin;
            break;
    }
    return size;
}

WindowLayout ComputeWindowLayout(const RECT& client, const PaintResources& resources) {
    const UINT dpi = resources.dpi;
    const int statusHeight = Scale(kStatusHeight, dpi);
    const int progressBottom = Scale(kProgressBottom, dpi);
    const int bannerHeight = resources.banner ? ShownImageSize(resources.banner.get(), resources).cy : 0;
    const int room = client.bottom - progressBottom - Scale(kMessageMinHeight, dpi);
    WindowLayout layout;
    layout.status = {0, 0, client.right, statusHeight};
    layout.progress = {0, statusHeight, client.right, progressBottom};
    layout.message = {0, progressBottom + std::clamp(room, 0, bannerHeight), client.right,
                      client.bottom - Scale(40, dpi)};
    return layout;
}

PaintedScreen PaintScreen(HDC target, const RECT& client, const WindowLayout& layout, const Screen& screen,
                          const PaintResources& resources) {
    const int width = client.right;
    const int height = client.bottom;
    const CPaintBuffer buffer(target, width, height, resources.backgroundBrush.get());
    if (!buffer) return {};
    const HDC dc = buffer.dc();
    ::SetBkMode(dc, TRANSPARENT);
    // Whatever no band covers (a missing banner) shows the window's background.
    ::PatBlt(dc, 0, 0, width, height, PATCOPY);
    if (screen.showsProgress) {
        DrawStatusLine(dc, layout.status, screen, resources);
        DrawProgressBar(dc, layout.progress, screen.progress, resources);
    } else {
        DrawStatusLine(dc, {0, 0, width, layout.progress.bottom}, screen, resources);
        // The message area's outline is drawn with the accent pen in either case.
        ::SelectObject(dc, resources.accentPen.get());
    }
    DrawBanner(dc, {0, layout.progress.bottom, width, layout.message.top}, screen.tagline, resources);
    const PaintedScreen painted =
        DrawMessage(dc, client, layout.message, resources.backgroundBrush.get(), screen, resources);
    ::BitBlt(target, 0, 0, width, height, dc, 0, 0, SRCCOPY);
    return painted;
}

}  // namespace tessara
