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

struct PaintResources {
    unique_hfont normalFont;
    unique_hfont boldFont;
    unique_hfont bodyFont;
    unique_hfont titleFont;
    unique_hpen blackPen;
    unique_hbrush blackBrush;
    unique_hpen bluePen;
    unique_hbrush blueBrush;
    unique_gdip_image banner;
    unique_gdip_image successIcon;
    unique_gdip_image errorIcon;
};

// Fonts from the system's message font, the pens and brushes, and the three images. GDI+ must have
// been started.
PaintResources CreatePaintResources(HINSTANCE instance);

// The fixed bands of the client area; the message area starts below the banner.
struct WindowLayout {
    RECT status{};
    RECT progress{};
    RECT message{};
};

WindowLayout ComputeWindowLayout(const RECT& client, const PaintResources& resources);

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
