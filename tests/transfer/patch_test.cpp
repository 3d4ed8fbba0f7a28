#include "transfer/patch.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "foundation/crypto.h"
#include "foundation/file_management.h"
#include "test_support.h"

namespace {

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

// A new release of `base`: one byte in a hundred changed, and a piece moved in.
std::string NextRelease(const std::string& base) {
    std::string next = base;
    std::mt19937 random(7);
    for (std::size_t i = 0; i < next.size() / 100; ++i) next[random() % next.size()] ^= 0x5A;
    next.insert(next.size() / 3, base.substr(base.size() / 2, 4096));
    return next;
}

ExpectedFile Expect(const std::string& bytes) {
    DigestBuilder digest(true);
    digest.Update(bytes.data(), bytes.size());
    const FileDigest found = digest.Finish();
    return {found.size, found.crc, found.sha256};
}

PatchOutcome Decode(const std::string& base, const std::string& patch, std::string& out) {
    std::size_t at = 0;
    // Small pieces: frames cross every boundary of the reads.
    return DecodePatch(base,
                       [&](void* buffer, std::size_t size) {
                           const std::size_t count = std::min({size, patch.size() - at, std::size_t{777}});
                           memcpy(buffer, patch.data() + at, count);
                           at += count;
                           return count;
                       },
                       reinterpret_cast<std::uint8_t*>(out.data()), out.size());
}

class PatchTest : public ::testing::Test {
protected:
    std::string base_ = RandomBytes(1 << 20, 1);
    std::string next_ = NextRelease(base_);
    std::string patch_ = MakePatch(base_, next_);
    ScratchFolder folder_{L"patch"};
    PermissionManager::StandardFileManagement files_{TestLog()};
};

TEST_F(PatchTest, ASmallChangeMakesASmallPatchThatRebuildsTheFile) {
    ASSERT_FALSE(patch_.empty());
    EXPECT_LT(patch_.size(), next_.size() / 20) << patch_.size();
    std::string out(next_.size(), '\0');
    ASSERT_EQ(Decode(base_, patch_, out), PatchOutcome::Applied);
    EXPECT_EQ(out, next_);
    EXPECT_TRUE(MakePatch("", next_).empty());
}

TEST_F(PatchTest, OnlyTheRightBaseAndAWholePatchGiveTheListedFile) {
    const std::wstring base = folder_ / L"app.dll", patch = folder_ / L"app.dll.patch", out = folder_ / L"out.dll";
    ExpectedFile wrongHash = Expect(next_);
    (*wrongHash.sha256)[0] ^= 1;
    ExpectedFile tooLarge = Expect(next_);
    tooLarge.size = kMaxPatchedFileSize + 1;
    const struct {
        const char* what;
        std::string base;  // empty: none
        std::optional<std::string> patch;  // none: none
        ExpectedFile expected;
        PatchOutcome outcome;
    } rows[] = {
        {"the right base", base_, patch_, Expect(next_), PatchOutcome::Applied},
        {"the base one byte off", base_.substr(0, 1000) + "?" + base_.substr(1001), patch_, Expect(next_),
         PatchOutcome::Damaged},
        {"a patch cut short", base_, patch_.substr(0, patch_.size() - 10), Expect(next_), PatchOutcome::Damaged},
        {"a patch with more after it", base_, patch_ + patch_, Expect(next_), PatchOutcome::Damaged},
        {"a listed size the frame does not fill", base_, patch_, {next_.size() + 1, 0, std::nullopt},
         PatchOutcome::Damaged},
        {"another listed hash", base_, patch_, wrongHash, PatchOutcome::WrongResult},
        {"a file beyond the limit", base_, patch_, tooLarge, PatchOutcome::TooLarge},
        {"no installed file", "", patch_, Expect(next_), PatchOutcome::BaseUnreadable},
        {"no patch", base_, std::nullopt, Expect(next_), PatchOutcome::PatchUnreadable},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DeleteFileW(base.c_str());
        DeleteFileW(patch.c_str());
        ASSERT_TRUE(row.base.empty() || WriteFileBytes(base, row.base));
        ASSERT_TRUE(!row.patch || WriteFileBytes(patch, *row.patch));
        EXPECT_EQ(ApplyPatchFile(files_, base, patch, out, row.expected), row.outcome);
        // Nothing is left to be taken for the file unless it is the listed one.
        EXPECT_EQ(Exists(out), row.outcome == PatchOutcome::Applied);
        EXPECT_EQ(ReadFileBytes(out), Exists(out) ? next_ : "");
        DeleteFileW(out.c_str());
    }
}

// Damaged patches in bounded number: none crashes, none passes for the file.
TEST_F(PatchTest, DamagedPatchesNeverRebuildAnotherFile) {
    const std::string base = RandomBytes(64 << 10, 3), next = NextRelease(base), patch = MakePatch(base, next);
    ASSERT_FALSE(patch.empty());
    std::mt19937 random(11);
    int applied = 0;
    for (int round = 0; round < 400; ++round) {
        std::string damaged = patch;
        if (round % 4 == 0) {
            damaged.resize(random() % damaged.size());
        } else {
            for (int flips = 1 + round % 8; flips > 0; --flips) damaged[random() % damaged.size()] ^= 1 << (random() % 8);
        }
        std::string out(next.size(), '\0');
        if (Decode(base, damaged, out) == PatchOutcome::Applied) {
            ++applied;
            EXPECT_EQ(out, next) << "round " << round;
        }
    }
    EXPECT_LT(applied, 400);
}

}  // namespace
