// The private window messages between the wizard, its pages and the workers that report
// to them. Other programs may send WM_CLOSE_WIZARD, so the values never change.
#pragma once

#include <windows.h>

#include <cstdint>

inline constexpr UINT WM_PAGE_CREATED = WM_APP + 0;       // page window / 0, sent to the sheet
inline constexpr UINT WM_START_DOWNLOAD = WM_APP + 1;     // posted by the download page to itself
inline constexpr UINT WM_DOWNLOAD_BEGIN = WM_APP + 2;     // number of files / total bytes
inline constexpr UINT WM_DOWNLOAD_FILE = WM_APP + 3;      // destination path / size
inline constexpr UINT WM_TRANSFER_PROGRESS = WM_APP + 4;  // bytes of this file so far / its size
inline constexpr UINT WM_DOWNLOAD_DONE = WM_APP + 5;      // 1 / number of files
inline constexpr UINT WM_GET_PAGE_FLAGS = WM_APP + 6;     // answered with the page record's flags
inline constexpr UINT WM_RUN_PROMPT = WM_APP + 8;         // posted to the sheet: run the box a worker handed over
inline constexpr UINT WM_DOWNLOAD_FILE_WHOLE = WM_APP + 9;  // 0 / size of the file that replaces its patch
inline constexpr UINT WM_CLOSE_WIZARD = WM_APP + 100;     // from anywhere: the wizard closes

// Sizes in the download messages must fit a 32-bit parameter: for a download larger than 2 GiB
// every size and byte count in WM_DOWNLOAD_BEGIN, WM_DOWNLOAD_FILE(_WHOLE) and WM_TRANSFER_PROGRESS is
// given in units of 2^shift bytes (a size that is not 0 is at least one unit). The download
// page chooses the shift from the total and reads the sizes back with it.
inline int ProgressShift(std::uint64_t largest) {
    int shift = 0;
    while ((largest >> shift) > 0x7FFFFFFFull) ++shift;
    return shift;
}
inline std::uint64_t ProgressUnits(std::uint64_t bytes, int shift) {
    const std::uint64_t units = bytes >> shift;
    return units == 0 && bytes != 0 ? 1 : units;
}
inline std::uint64_t ProgressBytes(ULONG_PTR units, int shift) { return static_cast<std::uint64_t>(units) << shift; }

// Posted by a page to itself after it posted the sheet's button states: moves and hides
// buttons once the sheet has applied those states (which show the buttons again).
inline constexpr UINT WM_PLACE_BUTTONS = WM_APP + 7;
