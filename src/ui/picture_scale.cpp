#include "ui/picture_scale.h"

#include <utility>

namespace {

constexpr int kStandardDpi = 96;

bool Present(SIZE size) { return size.cx > 0 && size.cy > 0; }

SIZE SizeOf(HBITMAP bitmap) {
    BITMAP info{};
    if (!bitmap || !GetObjectW(bitmap, sizeof(info), &info)) return {0, 0};
    return {info.bmWidth, info.bmHeight};
}

}  // namespace

int ScaleForDpi(int pixels, int dpi) { return MulDiv(pixels, dpi > 0 ? dpi : kStandardDpi, kStandardDpi); }

PictureChoice ChoosePicture(int dpi, SIZE single, SIZE twice) {
    if (dpi <= 0) dpi = kStandardDpi;
    // A double-size picture alone stands for a 1x picture of half its size.
    const SIZE base = Present(single) ? single : SIZE{twice.cx / 2, twice.cy / 2};
    if (!Present(base)) return {};
    const bool useDouble = Present(twice) && (dpi > kStandardDpi || !Present(single));
    return {useDouble ? PictureSource::Double : PictureSource::Single, ScaleForDpi(base.cx, dpi), ScaleForDpi(base.cy, dpi)};
}

int DpiOf(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (window && getDpiForWindow) {
        if (const UINT dpi = getDpiForWindow(window)) return static_cast<int>(dpi);
    }
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : kStandardDpi;
}

renewix::UniqueBitmap LoadPictureForDpi(HINSTANCE module, int singleId, int doubleId, int dpi) {
    renewix::UniqueBitmap single(LoadBitmapW(module, MAKEINTRESOURCEW(singleId)));
    renewix::UniqueBitmap twice(LoadBitmapW(module, MAKEINTRESOURCEW(doubleId)));
    const PictureChoice choice = ChoosePicture(dpi, SizeOf(single.get()), SizeOf(twice.get()));
    if (choice.source == PictureSource::None) return {};
    renewix::UniqueBitmap& source = choice.source == PictureSource::Double ? twice : single;
    const SIZE size = SizeOf(source.get());
    if (size.cx == choice.width && size.cy == choice.height) return std::move(source);

    HDC screen = GetDC(nullptr);
    if (!screen) return std::move(source);
    renewix::UniqueBitmap scaled(CreateCompatibleBitmap(screen, choice.width, choice.height));
    renewix::UniqueMemoryDc from(CreateCompatibleDC(screen)), to(CreateCompatibleDC(screen));
    ReleaseDC(nullptr, screen);
    if (!scaled || !from || !to) return std::move(source);
    HGDIOBJ oldFrom = SelectObject(from.get(), source.get());
    HGDIOBJ oldTo = SelectObject(to.get(), scaled.get());
    // HALFTONE averages the pixels it leaves out; the brush origin must be set after choosing it.
    SetStretchBltMode(to.get(), HALFTONE);
    SetBrushOrgEx(to.get(), 0, 0, nullptr);
    const BOOL drawn = StretchBlt(to.get(), 0, 0, choice.width, choice.height, from.get(), 0, 0, size.cx, size.cy,
                                  SRCCOPY);
    SelectObject(from.get(), oldFrom);
    SelectObject(to.get(), oldTo);
    return drawn ? std::move(scaled) : std::move(source);
}
