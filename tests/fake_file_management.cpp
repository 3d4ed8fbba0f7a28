#include "fake_file_management.h"

#include <algorithm>
#include <utility>

namespace {

std::wstring ParentOf(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring WithoutTrailingSeparator(std::wstring path) {
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    return path;
}

}  // namespace

// Reads and writes the manager's maps: a file outlives nothing of the manager in these tests.
class FakeFileManagement::File : public PermissionManager::IManagedFile {
public:
    File(FakeFileManagement& owner, std::wstring path) : owner_(owner), path_(std::move(path)) {}

    int Write(const void* data, DWORD count) override {
        {
            std::lock_guard lock(owner_.mutex_);
            if (!owner_.SpendLocked()) return 0;
        }
        if (count == 0) return 1;
        return open_ && owner_.WriteLocked(path_, data, count) ? 1 : 0;
    }
    DWORD Read(void* buffer, DWORD count) override {
        if (!open_) return 0;
        std::lock_guard lock(owner_.mutex_);
        const auto file = owner_.files_.find(path_);
        if (file == owner_.files_.end()) return 0;
        const std::string& bytes = file->second;
        const std::size_t take = position_ < bytes.size() ? std::min<std::size_t>(count, bytes.size() - position_) : 0;
        std::copy_n(bytes.data() + position_, take, static_cast<char*>(buffer));
        position_ += take;
        return static_cast<DWORD>(take);
    }
    void SetTimes(const FILETIME&, const FILETIME&, const FILETIME&) override {}
    int Close() override { return std::exchange(open_, false) ? 1 : 0; }

private:
    FakeFileManagement& owner_;
    std::wstring path_;
    std::size_t position_ = 0;
    bool open_ = true;
};

void FakeFileManagement::PutFile(const std::wstring& path, const std::string& bytes) {
    std::lock_guard lock(mutex_);
    MakeParentsLocked(path);
    files_[path] = bytes;
}

bool FakeFileManagement::HasFile(const std::wstring& path) const {
    std::lock_guard lock(mutex_);
    return files_.count(path) != 0;
}

bool FakeFileManagement::HasFolder(const std::wstring& path) const {
    std::lock_guard lock(mutex_);
    return folders_.count(WithoutTrailingSeparator(path)) != 0;
}

std::string FakeFileManagement::FileBytes(const std::wstring& path) const {
    std::lock_guard lock(mutex_);
    const auto file = files_.find(path);
    return file == files_.end() ? std::string() : file->second;
}

std::map<std::wstring, std::string> FakeFileManagement::FilesUnder(const std::wstring& folder) const {
    std::lock_guard lock(mutex_);
    const std::wstring below = WithoutTrailingSeparator(folder) + L"\\";
    std::map<std::wstring, std::string> found;
    for (const auto& [path, bytes] : files_) {
        if (path.starts_with(below)) found.emplace(path, bytes);
    }
    return found;
}

std::string FakeFileManagement::RegisteredBytes(const std::wstring& path) const {
    std::lock_guard lock(mutex_);
    const auto found = registered_.find(path);
    return found == registered_.end() ? std::string() : found->second;
}

void FakeFileManagement::MarkRegistered(const std::wstring& path) {
    std::lock_guard lock(mutex_);
    registered_[path] = files_[path];
}

void FakeFileManagement::UnzipWrites(const std::wstring& archivePath, std::map<std::wstring, std::string> files) {
    std::lock_guard lock(mutex_);
    unzipWrites_[archivePath] = std::move(files);
}

void FakeFileManagement::FailWritesAfter(const std::wstring& path, std::size_t bytes) {
    std::lock_guard lock(mutex_);
    writeLimits_[path] = bytes;
}

void FakeFileManagement::UnzipAnswers(const std::wstring& archivePath, int result) {
    std::lock_guard lock(mutex_);
    unzipResults_[archivePath] = result;
}

std::vector<std::wstring> FakeFileManagement::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

void FakeFileManagement::Stage(std::set<std::wstring>& failures, const std::wstring& path) {
    std::lock_guard lock(mutex_);
    failures.insert(path);
}

void FakeFileManagement::DieAfter(std::optional<int> changes) {
    std::lock_guard lock(mutex_);
    lives_ = changes;
    spent_ = 0;
}

int FakeFileManagement::Changes() const {
    std::lock_guard lock(mutex_);
    return spent_;
}

bool FakeFileManagement::SpendLocked() {
    if (lives_ && *lives_ <= 0) return false;
    if (lives_) --*lives_;
    ++spent_;
    return true;
}

void FakeFileManagement::MakeParentsLocked(const std::wstring& path) {
    for (std::wstring parent = ParentOf(path); parent.size() > 2; parent = ParentOf(parent)) folders_.insert(parent);
}

bool FakeFileManagement::WriteLocked(const std::wstring& path, const void* data, std::size_t count) {
    std::lock_guard lock(mutex_);
    std::string& bytes = files_[path];
    const auto limit = writeLimits_.find(path);
    if (limit != writeLimits_.end() && bytes.size() + count > limit->second) return false;
    bytes.append(static_cast<const char*>(data), count);
    return true;
}

std::unique_ptr<PermissionManager::IManagedFile> FakeFileManagement::Open(const std::wstring& path, DWORD access,
                                                                          DWORD disposition, DWORD) {
    std::lock_guard lock(mutex_);
    calls_.push_back(L"Open " + path);
    const bool changes = (access & GENERIC_WRITE) != 0 || disposition != OPEN_EXISTING;
    if (changes && !SpendLocked()) return nullptr;
    const bool exists = files_.count(path) != 0;
    if (failOpen_.count(path) || folders_.count(path)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (exists && disposition == CREATE_NEW) {
        SetLastError(ERROR_FILE_EXISTS);
        return nullptr;
    }
    if (!exists || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
        MakeParentsLocked(path);
        files_[path].clear();
    }
    return std::make_unique<File>(*this, path);
}

int FakeFileManagement::MakeDirectories(const std::wstring& path) {
    std::lock_guard lock(mutex_);
    calls_.push_back(L"MakeDirectories " + path);
    if (!SpendLocked()) return 0;
    const std::wstring folder = WithoutTrailingSeparator(path);
    MakeParentsLocked(folder);
    folders_.insert(folder);
    return 1;
}

int FakeFileManagement::Move(const std::wstring& from, const std::wstring& to) {
    std::lock_guard lock(mutex_);
    calls_.push_back(L"Move " + from + L" -> " + to);
    if (!SpendLocked()) return 0;
    const auto source = files_.find(from);
    if (failMove_.count(from) || source == files_.end() || files_.count(to) || folders_.count(to)) return 0;
    MakeParentsLocked(to);
    files_[to] = std::move(source->second);
    files_.erase(from);
    return 1;
}

int FakeFileManagement::Delete(const std::wstring& path) {
    std::lock_guard lock(mutex_);
    calls_.push_back(L"Delete " + path);
    if (!SpendLocked()) return 0;
    if (failDelete_.count(path)) return 0;
    if (files_.erase(path) != 0) return 1;
    // A folder only when nothing lies below it.
    const std::wstring below = WithoutTrailingSeparator(path) + L"\\";
    const bool empty = std::none_of(files_.begin(), files_.end(), [&](const auto& f) { return f.first.starts_with(below); }) &&
                       std::none_of(folders_.begin(), folders_.end(), [&](const std::wstring& f) { return f.starts_with(below); });
    return empty && folders_.erase(WithoutTrailingSeparator(path)) != 0 ? 1 : 0;
}

int FakeFileManagement::DeleteTree(const std::wstring& path) {
    std::lock_guard lock(mutex_);
    calls_.push_back(L"DeleteTree " + path);
    if (!SpendLocked()) return 0;
    const std::wstring below = WithoutTrailingSeparator(path) + L"\\";
    std::erase_if(files_, [&](const auto& file) { return file.first.starts_with(below); });
    std::erase_if(folders_, [&](const std::wstring& folder) { return folder.starts_with(below); });
    folders_.erase(WithoutTrailingSeparator(path));
    return 1;
}

DWORD FakeFileManagement::GetAttributes(const std::wstring& path) {
    std::lock_guard lock(mutex_);
    calls_.push_back(L"GetAttributes " + path);
    if (files_.count(path)) return FILE_ATTRIBUTE_NORMAL;
    if (folders_.count(WithoutTrailingSeparator(path))) return FILE_ATTRIBUTE_DIRECTORY;
    return INVALID_FILE_ATTRIBUTES;
}

int FakeFileManagement::UpdateRegistry(const std::wstring& keyPath, const std::wstring& valueName,
                                       const std::wstring& action) {
    std::lock_guard lock(mutex_);
    calls_.push_back(L"UpdateRegistry " + keyPath + L"\\" + valueName + L" " + action);
    return SpendLocked() ? 1 : 0;
}

std::wstring FakeFileManagement::QueryRegistry(const std::wstring& registryPath, const std::wstring&) {
    std::lock_guard lock(mutex_);
    calls_.push_back(L"QueryRegistry " + registryPath);
    return {};
}

int FakeFileManagement::RegisterServer(const std::wstring& libraryPath) {
    std::lock_guard lock(mutex_);
    calls_.push_back(L"RegisterServer " + libraryPath);
    if (!SpendLocked()) return 0;
    if (failRegister_.count(libraryPath) || !files_.count(libraryPath)) return 0;
    registered_[libraryPath] = files_[libraryPath];
    return 1;
}

int FakeFileManagement::UnregisterServer(const std::wstring& libraryPath) {
    std::lock_guard lock(mutex_);
    calls_.push_back(L"UnregisterServer " + libraryPath);
    if (!SpendLocked()) return 0;
    if (!files_.count(libraryPath)) return 0;
    registered_.erase(libraryPath);
    return 1;
}

int FakeFileManagement::Unzip(const std::wstring& archivePath, const std::wstring& destination) {
    std::lock_guard lock(mutex_);
    calls_.push_back(L"Unzip " + archivePath + L" -> " + destination);
    if (!SpendLocked()) return -1;
    const auto result = unzipResults_.find(archivePath);
    if (const auto writes = unzipWrites_.find(archivePath); writes != unzipWrites_.end()) {
        for (const auto& [name, bytes] : writes->second) {
            const std::wstring target = WithoutTrailingSeparator(destination) + L"\\" + name;
            MakeParentsLocked(target);
            files_[target] = bytes;
        }
        if (result == unzipResults_.end()) return static_cast<int>(writes->second.size());
    }
    return result == unzipResults_.end() ? -1 : result->second;
}
