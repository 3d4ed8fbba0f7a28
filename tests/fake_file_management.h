// An in-memory file manager for unit tests: folders and files in maps, failures staged per
// path, and every call recorded.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "foundation/file_management.h"

class FakeFileManagement : public PermissionManager::IClientFileManager {
public:
    // Paths are compared as given; the folders above a file put there are made with it.
    void PutFile(const std::wstring& path, const std::string& bytes);
    bool HasFile(const std::wstring& path) const;
    bool HasFolder(const std::wstring& path) const;
    // The file's bytes; empty when there is none.
    std::string FileBytes(const std::wstring& path) const;
    // Every file below the folder, with its bytes.
    std::map<std::wstring, std::string> FilesUnder(const std::wstring& folder) const;
    // The bytes the file at `path` had when it was last registered; empty once unregistered.
    std::string RegisteredBytes(const std::wstring& path) const;
    void MarkRegistered(const std::wstring& path);

    // Staged failures, each for every later call on that path.
    void FailOpen(const std::wstring& path) { Stage(failOpen_, path); }
    // Writes to the file succeed until `bytes` have been written; the one that would pass them
    // writes nothing and fails.
    void FailWritesAfter(const std::wstring& path, std::size_t bytes);
    // Moves from the path fail (moves to it do not).
    void FailMove(const std::wstring& path) { Stage(failMove_, path); }
    void FailDelete(const std::wstring& path) { Stage(failDelete_, path); }
    void FailRegister(const std::wstring& path) { Stage(failRegister_, path); }
    // Unzip of the archive answers `result` (an entry count, or -1, -2, 0 as the standard one).
    void UnzipAnswers(const std::wstring& archivePath, int result);
    // Unzip of the archive writes these files (names relative to the destination folder)
    // and answers their count, or what UnzipAnswers staged (a write pass that failed part-way).
    void UnzipWrites(const std::wstring& archivePath, std::map<std::wstring, std::string> files);

    // Stands in for a process that is killed: once `changes` more changes are made, nothing it
    // is asked to change happens any more (reads still answer, as they change nothing). Without
    // a number it lives on. Changes() counts the changes made since.
    void DieAfter(std::optional<int> changes);
    int Changes() const;

    // Each call as "Operation path[ -> path]", in order.
    std::vector<std::wstring> Calls() const;

    std::unique_ptr<PermissionManager::IManagedFile> Open(const std::wstring& path, DWORD access, DWORD disposition,
                                                          DWORD flags) override;
    int MakeDirectories(const std::wstring& path) override;
    int Move(const std::wstring& from, const std::wstring& to) override;
    int Delete(const std::wstring& path) override;
    int DeleteTree(const std::wstring& path) override;
    DWORD GetAttributes(const std::wstring& path) override;
    int UpdateRegistry(const std::wstring& keyPath, const std::wstring& valueName,
                       const std::wstring& action) override;
    std::wstring QueryRegistry(const std::wstring& registryPath, const std::wstring& type) override;
    int RegisterServer(const std::wstring& libraryPath) override;
    int UnregisterServer(const std::wstring& libraryPath) override;
    int Unzip(const std::wstring& archivePath, const std::wstring& destination) override;

private:
    class File;

    void Stage(std::set<std::wstring>& failures, const std::wstring& path);
    // Whether a change may still be made; counts it.
    bool SpendLocked();
    void MakeParentsLocked(const std::wstring& path);
    // For the files' writes, which share the maps.
    bool WriteLocked(const std::wstring& path, const void* data, std::size_t count);

    mutable std::mutex mutex_;
    std::map<std::wstring, std::string> files_;
    std::set<std::wstring> folders_;
    std::set<std::wstring> failOpen_, failMove_, failDelete_, failRegister_;
    std::map<std::wstring, std::size_t> writeLimits_;
    std::map<std::wstring, int> unzipResults_;
    std::map<std::wstring, std::map<std::wstring, std::string>> unzipWrites_;
    std::map<std::wstring, std::string> registered_;
    std::vector<std::wstring> calls_;
    std::optional<int> lives_;
    int spent_ = 0;
};
