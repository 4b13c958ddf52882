#include "ui/Painting.h"

#include <shlwapi.h>

#include "res/resource.h"

namespace tessara {
namespace {

using namespace Gdiplus::DllExports;
using unique_gdip_graphics = UniqueResource<SimpleTraits<Gdiplus::GpGraphics*, GdipDeleteGraphics>>;
void ReleaseStream(IStream* stream) { stream->Release(); }
using unique_stream = UniqueResource<SimpleTraits<IStream*, ReleaseStream>>;

constexpr COLORREF kBackgroundColour = RGB(239, 239, 239);
constexpr COLORREF kStatusTextColour = RGB(255, 255, 255);
constexpr COLORREF kTitleColour = RGB(45, 45, 45);
constexpr COLORREF kBodyColour = RGB(75, 75, 75);
constexpr COLORREF kBlue = RGB(21, 115, 230);
constexpr int kStatusHeight = 62;
constexpr int kProgressBottom = 72;
constexpr int kStatusTextIndent = 20;
constexpr int kTitleOffset = 28;
constexpr int kIconGap = 4;
constexpr int kBodyGap = 15;
constexpr int kBodyColumnWidth = 400;

// The off-screen image of one paint. Owns the memory context, its bitmap and the paint's background
// brush, and puts back every object the context started with before any of them is deleted, so that
// nothing a paint created outlives it.
class CPaintBuffer {
public:
    CPaintBuffer(HDC target, int width, int height)
        : m_dc(::CreateCompatibleDC(target)), m_background(::CreateSolidBrush(kBackgroundColour)) {
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
        if (!m_dc || !m_bitmap || !m_background) return;
        m_originalPen = ::GetCurrentObject(m_dc.get(), OBJ_PEN);
        m_originalFont = ::GetCurrentObject(m_dc.get(), OBJ_FONT);
        m_originalBitmap = ::SelectObject(m_dc.get(), m_bitmap.get());
        m_originalBrush = ::SelectObject(m_dc.get(), m_background.get());
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
    HBRUSH background() const { return m_background.get(); }

private:
    unique_hdc m_dc;
    unique_hbrush m_background;
    unique_hbitmap m_bitmap;
    HGDIOBJ m_originalBitmap = nullptr;
    HGDIOBJ m_originalBrush = nullptr;
    HGDIOBJ m_originalPen = nullptr;
    HGDIOBJ m_originalFont = nullptr;
    bool m_ready = false;
};

void SelectObjects(HDC dc, HGDIOBJ pen, HGDIOBJ brush) {
    ::SelectObject(dc, pen);
    ::SelectObject(dc, brush);
}

void DrawImage(HDC dc, Gdiplus::GpImage* image, int x, int y) {
    if (!image) return;
    const SIZE size = GetImageSize(image);
    unique_gdip_graphics graphics;
    if (GdipCreateFromHDC(dc, graphics.put()) != Gdiplus::Ok) return;
    GdipDrawImageRectI(graphics.get(), image, x, y, size.cx, size.cy);
}

void DrawStatusLine(HDC dc, const RECT& area, const std::wstring& status, const PaintResources& resources) {
    SelectObjects(dc, resources.blackPen.get(), resources.blackBrush.get());
    ::SelectObject(dc, resources.titleFont.get());
    ::Rectangle(dc, area.left, area.top, area.right, area.bottom);
    ::SetTextColor(dc, kStatusTextColour);
    RECT text = area;
    text.left += kStatusTextIndent;
    ::DrawTextW(dc, status.c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER);
}

void DrawProgressBar(HDC dc, const RECT& bar, int progress, const PaintResources& resources) {
    SelectObjects(dc, ::GetStockObject(NULL_PEN), ::GetStockObject(WHITE_BRUSH));
    ::Rectangle(dc, bar.left, bar.top, bar.right, bar.bottom);
    // The blue pen stays selected: it also outlines the message area.
    SelectObjects(dc, resources.bluePen.get(), resources.blueBrush.get());
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
    Gdiplus::GpImage* const icon = IconOf(screen.icon, resources);
    const SIZE iconSize = icon ? GetImageSize(icon) : SIZE{};
    ::SelectObject(dc, resources.titleFont.get());
    painted.title = {area.left, area.top + kTitleOffset, area.right, area.top + kTitleOffset + 1};
    ::DrawTextW(dc, screen.title.c_str(), -1, &painted.title, DT_CALCRECT | DT_WORDBREAK | DT_CENTER);
    CentreHorizontally(painted.title, width);
    if (icon) ::OffsetRect(&painted.title, (iconSize.cx + kIconGap) / 2, 0);
    ::SetTextColor(dc, kTitleColour);
    ::DrawTextW(dc, screen.title.c_str(), -1, &painted.title, DT_WORDBREAK | DT_CENTER);

    if (icon) {
        const int titleHeight = painted.title.bottom - painted.title.top;
        const int x = painted.title.left - iconSize.cx - kIconGap;
        const int y = painted.title.top + (titleHeight - iconSize.cy) / 2 + 2;
        painted.icon = {x, y, x + iconSize.cx, y + iconSize.cy};
        DrawImage(dc, icon, x, y);
    }

    ::SelectObject(dc, resources.bodyFont.get());
    const int columnLeft = (width - kBodyColumnWidth) / 2;
    painted.body = {columnLeft, painted.title.bottom + kBodyGap, columnLeft + kBodyColumnWidth,
                    client.bottom};
    ::DrawTextW(dc, screen.body.c_str(), -1, &painted.body,
                DT_CALCRECT | DT_WORDBREAK | DT_VCENTER | DT_CENTER);
    CentreHorizontally(painted.body, width);
    ::SetTextColor(dc, kBodyColour);
    ::DrawTextW(dc, screen.body.c_str(), -1, &painted.body, DT_WORDBREAK | DT_VCENTER | DT_CENTER);
    return painted;
}

unique_hfont CreateFontFrom(LOGFONTW font, LONG height, LONG weight) {
    if (height) font.lfHeight = height;
    if (weight) font.lfWeight = weight;
    return unique_hfont(::CreateFontIndirectW(&font));
}

}  // namespace

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

PaintResources CreatePaintResources(HINSTANCE instance) {
    NONCLIENTMETRICSW metrics{};
    static_assert(sizeof metrics == 504, "the metrics of the system's message font");
    metrics.cbSize = sizeof metrics;
    ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    const LOGFONTW& message = metrics.lfMessageFont;

    PaintResources resources;
    resources.normalFont = CreateFontFrom(message, 0, 0);
    resources.boldFont = CreateFontFrom(message, 0, 600);
    resources.bodyFont = CreateFontFrom(message, 20, 0);
    resources.titleFont = CreateFontFrom(message, 28, 600);
    resources.blackPen.reset(::CreatePen(PS_SOLID, 1, RGB(0, 0, 0)));
    resources.blackBrush.reset(::CreateSolidBrush(RGB(0, 0, 0)));
    resources.bluePen.reset(::CreatePen(PS_SOLID, 1, kBlue));
    resources.blueBrush.reset(::CreateSolidBrush(kBlue));
    resources.banner = LoadPngImage(instance, IDP_BANNER);
    resources.successIcon = LoadPngImage(instance, IDP_SUCCESS_ICON);
    resources.errorIcon = LoadPngImage(instance, IDP_ERROR_ICON);
    return resources;
}

WindowLayout ComputeWindowLayout(const RECT& client, const PaintResources& resources) {
    const int bannerHeight = resources.banner ? GetImageSize(resources.banner.get()).cy : 0;
    WindowLayout layout;
    layout.status = {0, 0, client.right, kStatusHeight};
    layout.progress = {0, kStatusHeight, client.right, kProgressBottom};
    layout.message = {0, kProgressBottom + bannerHeight, client.right, client.bottom - 40};
    return layout;
}

PaintedScreen PaintScreen(HDC target, const RECT& client, const WindowLayout& layout, const Screen& screen,
                          const PaintResources& resources) {
    const int width = client.right;
    const int height = client.bottom;
    const CPaintBuffer buffer(target, width, height);
    if (!buffer) return {};
    const HDC dc = buffer.dc();
    ::SetBkMode(dc, TRANSPARENT);
    // Whatever no band covers (a missing banner) shows the window's background.
    ::PatBlt(dc, 0, 0, width, height, PATCOPY);
    DrawStatusLine(dc, layout.status, screen.status, resources);
    DrawProgressBar(dc, layout.progress, screen.progress, resources);
    DrawImage(dc, resources.banner.get(), 0, kProgressBottom);
    const PaintedScreen painted =
        DrawMessage(dc, client, layout.message, buffer.background(), screen, resources);
    ::BitBlt(target, 0, 0, width, height, dc, 0, 0, SRCCOPY);
    return painted;
}

}  // namespace tessara
