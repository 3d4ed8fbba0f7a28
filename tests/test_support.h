// Helpers shared by the unit tests: scratch folders in the Wine prefix and file access.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "wait_until.h"

// Calls `visit(name, isFolder)` for everything directly in `folder`.
template <typename Visit>
void ForEachChild(const std::wstring& folder, Visit visit) {
    WIN32_FIND_DATAW data;
    renewix::UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") visit(name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    } while (FindNextFileW(find.get(), &data));
}

// A fresh folder under the temporary directory, removed with everything in it at the end.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::wstring& name) {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"renewix-test-" + name + L"-" + std::to_wstring(GetCurrentProcessId());
        RemoveTree(path_);
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~ScratchFolder() { RemoveTree(path_); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

    static void RemoveTree(const std::wstring& path);

private:
    std::wstring path_;
};

inline void ScratchFolder::RemoveTree(const std::wstring& path) {
    ForEachChild(path, [&](const std::wstring& name, bool isFolder) {
        const std::wstring child = path + L"\\" + name;
        if (isFolder) {
            RemoveTree(child);
        } else {
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(child.c_str());
        }
    });
    RemoveDirectoryW(path.c_str());
}

inline std::string ReadFileBytes(const std::wstring& path) {
    std::string bytes;
    renewix::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    char buffer[4096];
    DWORD read = 0;
    while (file && ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
    return bytes;
}

inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    renewix::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// gtest prints std::wstring poorly; compare through UTF-8.
#define EXPECT_WSTREQ8(expected, actual) EXPECT_EQ(WideToUtf8(expected), WideToUtf8(actual))

// Points predefined keys at fresh empty keys for the life of the object. The mapping holds for
// the whole process (every thread, every library it loads, paths given as text), so tests
// leave the real hives alone and need not take turns with each other. The stand-ins lie in the
// real user hive under Software\RenewixTestOverride\<process>-<n> and go with the object.
// One at a time: ending one gives back the real keys.
class RegistryOverride {
public:
    explicit RegistryOverride(std::initializer_list<HKEY> roots = {HKEY_CURRENT_USER}) {
        static std::atomic<int> counter{0};
        tree_ = std::wstring(kParent) + L"\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter);
        // Opened before anything is redirected, so that every stand-in is in the real hive.
        renewix::UniqueRegKey tree;
        status_ = RegCreateKeyExW(HKEY_CURRENT_USER, tree_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, tree.put(),
                                  nullptr);
        for (HKEY root : roots) {
            if (status_ != ERROR_SUCCESS) break;
            renewix::UniqueRegKey standIn;
            const std::wstring name = std::to_wstring(reinterpret_cast<ULONG_PTR>(root));
            status_ = RegCreateKeyExW(tree.get(), name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, standIn.put(),
                                      nullptr);
            // The system keeps a handle of its own to the stand-in.
            if (status_ == ERROR_SUCCESS) status_ = RegOverridePredefKey(root, standIn.get());
            if (status_ == ERROR_SUCCESS) overridden_.push_back(root);
        }
        if (status_ != ERROR_SUCCESS) ADD_FAILURE() << "registry override failed with error " << status_;
    }
    ~RegistryOverride() {
        for (HKEY root : overridden_) RegOverridePredefKey(root, nullptr);
        RegDeleteTreeW(HKEY_CURRENT_USER, tree_.c_str());
        // Fails while another process still has a tree of its own there.
        RegDeleteKeyW(HKEY_CURRENT_USER, kParent);
    }
    RegistryOverride(const RegistryOverride&) = delete;
    RegistryOverride& operator=(const RegistryOverride&) = delete;

    bool active() const { return status_ == ERROR_SUCCESS; }

private:
    static constexpr const wchar_t* kParent = L"Software\\RenewixTestOverride";
    std::wstring tree_;
    std::vector<HKEY> overridden_;
    LSTATUS status_;
};

#include "foundation/file_management.h"
#include "foundation/log.h"

// The log the tests' code under test writes to (start-up makes the client's own).
inline Log& TestLog() {
    static Log log;
    return log;
}

// Sends the tests' log to a fresh file for the life of the object; Finish() reads it back.
class CapturedLog {
public:
    explicit CapturedLog(const std::wstring& path) : path_(path) { TestLog().Start(files_, path_, 0); }
    ~CapturedLog() { TestLog().Stop(); }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    // Ends the log and returns everything after its opening line, as UTF-8.
    std::string Finish() {
        TestLog().Stop();
        std::string bytes = ReadFileBytes(path_);
        if (bytes.size() < 2) return {};
        std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
        std::size_t start = text.find(L"Logging started\r\n");
        if (start != std::wstring::npos) text.erase(0, start + 17);
        return WideToUtf8(text);
    }

private:
    std::wstring path_;
    PermissionManager::StandardFileManagement files_{TestLog()};
};

#include "description/variables.h"
#include "foundation/cancellation.h"
#include "foundation/client_config.h"
#include "foundation/run_state.h"
#include "persistence/status_file.h"
#include "session/run_context.h"
#include "transfer/downloader.h"

// What start-up hands a run, for code under test: no configuration record (the test
// executable carries none), a fresh state, the process log (so CapturedLog reads it) and a
// status file at `statusPath`.
struct TestRun {
    explicit TestRun(std::wstring statusPath = L"") : status(std::move(statusPath), 0, 0, state, log) {}
    TestRun(const TestRun&) = delete;
    TestRun& operator=(const TestRun&) = delete;

    ClientConfig config;
    RunState state;
    Log& log = TestLog();
    StatusFile status;
    TextVariables variables{config, state, log};
    PermissionManager::StandardFileManagement files{log};
    renewix::Cancellation cancellation;
    RunContext run{config, state, log, status, variables, files, cancellation};
    TransferContext transfer{log, variables, &cancellation};
};

// The transfer context for a test that needs no run of its own.
inline const TransferContext& TestTransfer() {
    static TestRun run;
    return run.transfer;
}

#include "foundation/crc32.h"

inline std::uint32_t CrcOf(const std::string& bytes) {
    return ~CCrc32Static::Update(0xFFFFFFFF, bytes.data(), bytes.size());
}

// Rewrites the 4 bytes at `at` so that the CRC-32 of `bytes` becomes `crc`, as anyone who may
// change a file can: the CRC is affine in those 32 bits, so 32 probes and an elimination over
// GF(2) find them.
inline bool ForgeCrc(std::string& bytes, std::size_t at, std::uint32_t crc) {
    if (at + 4 > bytes.size()) return false;
    const auto with = [&](std::uint32_t patch) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(patch >> (8 * i));
        return CrcOf(bytes);
    };
    const std::uint32_t base = with(0);
    // Rows: the effect of each patch bit, augmented by which bits it is made of.
    std::uint32_t effect[32], made[32];
    for (int bit = 0; bit < 32; ++bit) {
        effect[bit] = with(1u << bit) ^ base;
        made[bit] = 1u << bit;
    }
    std::uint32_t want = crc ^ base, patch = 0;
    for (int target = 31, row = 0; target >= 0; --target) {
        int pivot = row;
        while (pivot < 32 && !(effect[pivot] >> target & 1)) ++pivot;
        if (pivot == 32) continue;
        std::swap(effect[pivot], effect[row]);
        std::swap(made[pivot], made[row]);
        for (int other = 0; other < 32; ++other) {
            if (other != row && (effect[other] >> target & 1)) {
                effect[other] ^= effect[row];
                made[other] ^= made[row];
            }
        }
        if (want >> target & 1) {
            want ^= effect[row];
            patch ^= made[row];
        }
        ++row;
    }
    return want == 0 && with(patch) == crc;
}

#include "description/signed_document.h"

// A signing key made from one repeated byte: tests need keys that differ, not secret ones.
inline Ed25519Seed SeedOf(std::uint8_t fill) {
    Ed25519Seed seed;
    seed.fill(fill);
    return seed;
}

// The document followed by its signature line, as the publishing tool writes it.
inline std::string SignedBytes(const std::string& document, const Ed25519Seed& seed) {
    Ed25519Signature signature{};
    EXPECT_TRUE(SignEd25519(seed, document.data(), document.size(), signature));
    return document + SignatureTrailerBytes(document, KeyIdOf(PublicKeyFor(seed)), signature);
}
