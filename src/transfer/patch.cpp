#include "transfer/patch.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_stableOutBuffer
#include <zstd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "foundation/file_management.h"
#include "foundation/win_resource.h"

namespace {

struct DecoderDeleter {
    void operator()(ZSTD_DCtx* decoder) const noexcept { ZSTD_freeDCtx(decoder); }
};

constexpr std::size_t kPieceSize = 256 * 1024;

}  // namespace

const wchar_t* DescribePatchOutcome(PatchOutcome outcome) {
    switch (outcome) {
        case PatchOutcome::Applied: return L"applied";
        case PatchOutcome::BaseUnreadable: return L"the installed file cannot be read";
        case PatchOutcome::TooLarge: return L"the file is too large to be patched here";
        case PatchOutcome::PatchUnreadable: return L"the patch cannot be read";
        case PatchOutcome::Damaged: return L"the patch does not fit the installed file or is damaged";
        case PatchOutcome::WrongResult: return L"the patched file is not the listed one";
        case PatchOutcome::WriteFailed: return L"the patched file cannot be written";
    }
    return L"unknown";
}

PatchOutcome DecodePatch(std::string_view base, const PatchSource& source, std::uint8_t* out, std::size_t outSize) {
    std::unique_ptr<ZSTD_DCtx, DecoderDeleter> decoder(ZSTD_createDCtx());
    if (!decoder) return PatchOutcome::TooLarge;
    // The output stays in one place, so the decoder refers back into it and keeps no window of
    // its own; a frame that asks for a larger window than any patch needs is refused.
    if (ZSTD_isError(ZSTD_DCtx_setParameter(decoder.get(), ZSTD_d_windowLogMax, kPatchWindowLogMax)) ||
        ZSTD_isError(ZSTD_DCtx_setParameter(decoder.get(), ZSTD_d_stableOutBuffer, 1)) ||
        ZSTD_isError(ZSTD_DCtx_refPrefix(decoder.get(), base.data(), base.size()))) {
        return PatchOutcome::Damaged;
    }
    std::unique_ptr<char[]> piece(new (std::nothrow) char[kPieceSize]);
    if (!piece) return PatchOutcome::TooLarge;
    ZSTD_outBuffer output{out, outSize, 0};
    std::size_t needed = 1;  // 0 once a frame is complete
    for (std::size_t count; (count = source(piece.get(), kPieceSize)) != 0;) {
        ZSTD_inBuffer input{piece.get(), count, 0};
        while (input.pos < input.size) {
            // One frame only: anything after it is not part of this patch.
            if (needed == 0) return PatchOutcome::Damaged;
            const std::size_t before = input.pos + output.pos;
            needed = ZSTD_decompressStream(decoder.get(), &output, &input);
            if (ZSTD_isError(needed)) return PatchOutcome::Damaged;
            if (needed != 0 && input.pos + output.pos == before) return PatchOutcome::Damaged;
        }
    }
    return needed == 0 && output.pos == outSize ? PatchOutcome::Applied : PatchOutcome::Damaged;
}

PatchOutcome ApplyPatchFile(PermissionManager::IClientFileManager& files, const std::wstring& basePath,
                            const std::wstring& patchPath, const std::wstring& outputPath,
                            const ExpectedFile& expected) {
    if (expected.size == 0 || expected.size > kMaxPatchedFileSize) return PatchOutcome::TooLarge;
    // The installed file is mapped, not read: its pages are the system's file cache, not this
    // process's memory.
    renewix::UniqueFile base(CreateFileW(basePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER baseSize{};
    if (!base || !GetFileSizeEx(base.get(), &baseSize) || baseSize.QuadPart <= 0 ||
        static_cast<std::uint64_t>(baseSize.QuadPart) > kMaxPatchedFileSize) {
        return PatchOutcome::BaseUnreadable;
    }
    renewix::UniqueHandle mapping(CreateFileMappingW(base.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    renewix::UniqueMappedView view(mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr);
    if (!view) return PatchOutcome::BaseUnreadable;
    std::unique_ptr<PermissionManager::IManagedFile> patch = files.Open(patchPath, GENERIC_READ, OPEN_EXISTING, 0);
    if (!patch) return PatchOutcome::PatchUnreadable;
    const std::size_t size = static_cast<std::size_t>(expected.size);
    std::unique_ptr<std::uint8_t[]> rebuilt(new (std::nothrow) std::uint8_t[size]);
    if (!rebuilt) return PatchOutcome::TooLarge;
    const PatchOutcome decoded = DecodePatch(
        std::string_view(static_cast<const char*>(view.get()), static_cast<std::size_t>(baseSize.QuadPart)),
        [&patch](void* buffer, std::size_t count) {
            return static_cast<std::size_t>(patch->Read(buffer, static_cast<DWORD>(count)));
        },
        rebuilt.get(), size);
    if (decoded != PatchOutcome::Applied) return decoded;
    DigestBuilder digest(expected.sha256.has_value());
    digest.Update(rebuilt.get(), size);
    if (CompareDigest(expected, digest.Finish()) != DigestMismatch::None) return PatchOutcome::WrongResult;

    // Written under another name first: only the whole, checked file takes the output's name.
    const std::wstring writing = outputPath + L".patched";
    std::unique_ptr<PermissionManager::IManagedFile> output =
        files.Open(writing, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, 0);
    bool written = output != nullptr;
    for (std::size_t at = 0; written && at < size; at += kPieceSize) {
        written = output->Write(rebuilt.get() + at, static_cast<DWORD>(std::min(kPieceSize, size - at))) != 0;
    }
    if (output && !output->Close()) written = false;
    files.Delete(outputPath);
    if (!written || !files.Move(writing, outputPath)) {
        files.Delete(writing);
        return PatchOutcome::WriteFailed;
    }
    return PatchOutcome::Applied;
}
