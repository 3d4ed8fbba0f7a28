// The wizard's pictures at the sheet's DPI: the 1x picture at 100%, the double-size one made
// smaller (or at 200% as it is) above, so that nothing is a blown-up 1x picture unless that is
// all there is (a vendor's own picture).
#pragma once

#include <windows.h>

#include "foundation/win_resource.h"

enum class PictureSource { None, Single, Double };

struct PictureChoice {
    PictureSource source = PictureSource::None;
    int width = 0;  // the size to show it at
    int height = 0;
};

// `pixels` at 100% as many pixels at `dpi` (96 is 100%).
int ScaleForDpi(int pixels, int dpi);

// `single` and `twice` are the sizes of the 1x and the double-size bitmap ({0, 0}: missing).
// The size shown is the 1x size at `dpi` (96 is 100%).
PictureChoice ChoosePicture(int dpi, SIZE single, SIZE twice);

// The DPI `window` is shown at (GetDpiForWindow where the system has it); without a window,
// or on older systems, the screen's.
int DpiOf(HWND window);

// The picture of bitmaps `singleId` and `doubleId` of `module` for `dpi`, scaled to its size
// there; null when the module has neither.
renewix::UniqueBitmap LoadPictureForDpi(HINSTANCE module, int singleId, int doubleId, int dpi);
