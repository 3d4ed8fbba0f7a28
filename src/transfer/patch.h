// Per-file patches: a file rebuilt from the installed version and a zstd frame made against it
// ("patch-from"), instead of downloaded whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "description/file_list.h"
#include "foundation/file_digest.h"

namespace PermissionManager {
class IClientFileManager;
}

// The largest window a patch may use: enough for the largest base and file together.
inline constexpr int kPatchWindowLogMax = 30;
inline constexpr int kPatchLevel = 12;
// A patch lies beside its file on the server, named after it.
inline constexpr wchar_t kPatchSuffix[] = L".patch";

enum class PatchOutcome {
    Applied,
    BaseUnreadable,  // the installed file cannot be opened or mapped
    TooLarge,        // beyond kMaxPatchedFileSize, or no memory for it
    PatchUnreadable, // the patch file cannot be opened or read
    Damaged,         // the frame does not decode against this base (a checksum, a cut, a bad byte)
    WrongResult,     // it decodes, but not to the listed size, CRC and SHA-256
    WriteFailed,     // the rebuilt file could not be written
};
// For the log: what went wrong, in a few words.
const wchar_t* DescribePatchOutcome(PatchOutcome outcome);

// Reads the next piece of the patch into `buffer`; the count read, 0 at its end or on failure.
using PatchSource = std::function<std::size_t(void* buffer, std::size_t size)>;

// Decodes the frame that `source` delivers against `base` into `out`, which must be exactly as
// long as the rebuilt file. Damaged for anything but one whole frame that fills `out` exactly.
PatchOutcome DecodePatch(std::string_view base, const PatchSource& source, std::uint8_t* out, std::size_t outSize);

// Rebuilds `outputPath` (written through `files`) from the file at `basePath` and the patch at
// `patchPath`, and checks it against `expected`. Nothing is left at `outputPath` unless Applied.
PatchOutcome ApplyPatchFile(PermissionManager::IClientFileManager& files, const std::wstring& basePath,
                            const std::wstring& patchPath, const std::wstring& outputPath,
                            const ExpectedFile& expected);

// The patch that rebuilds `target` from `base`: one zstd frame, with its checksum and content
// size, made in patch-from mode (long-distance matching, a window that spans both). Empty when
// either is beyond kMaxPatchedFileSize, the base is empty or zstd fails. For the publishing
// tool and the tests; the client only applies patches.
std::string MakePatch(std::string_view base, std::string_view target, int level = kPatchLevel);
