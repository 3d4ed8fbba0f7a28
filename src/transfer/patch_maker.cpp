#include <zstd.h>

#include <memory>

#include "transfer/patch.h"

namespace {

struct EncoderDeleter {
    void operator()(ZSTD_CCtx* encoder) const noexcept { ZSTD_freeCCtx(encoder); }
};

int WindowLogFor(std::uint64_t bytes) {
    int log = 10;
    while (log < kPatchWindowLogMax && (1ull << log) < bytes) ++log;
    return log;
}

}  // namespace

std::string MakePatch(std::string_view base, std::string_view target, int level) {
    if (base.empty() || base.size() > kMaxPatchedFileSize || target.size() > kMaxPatchedFileSize) return {};
    std::unique_ptr<ZSTD_CCtx, EncoderDeleter> encoder(ZSTD_createCCtx());
    if (!encoder) return {};
    // The window spans the base and the file, so that every part of the base can be referred to.
    const auto set = [&](ZSTD_cParameter parameter, int value) {
        return !ZSTD_isError(ZSTD_CCtx_setParameter(encoder.get(), parameter, value));
    };
    if (!set(ZSTD_c_compressionLevel, level) || !set(ZSTD_c_checksumFlag, 1) || !set(ZSTD_c_contentSizeFlag, 1) ||
        !set(ZSTD_c_enableLongDistanceMatching, 1) ||
        !set(ZSTD_c_windowLog, WindowLogFor(static_cast<std::uint64_t>(base.size()) + target.size())) ||
        ZSTD_isError(ZSTD_CCtx_refPrefix(encoder.get(), base.data(), base.size()))) {
        return {};
    }
    std::string patch(ZSTD_compressBound(target.size()), '\0');
    const std::size_t size =
        ZSTD_compress2(encoder.get(), patch.data(), patch.size(), target.data(), target.size());
    if (ZSTD_isError(size)) return {};
    patch.resize(size);
    return patch;
}
