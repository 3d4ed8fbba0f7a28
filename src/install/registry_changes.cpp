#include "install/registry_changes.h"

#include <memory>

#include "foundation/file_management.h"
#include "foundation/log.h"

int ApplyRegistryList(const std::vector<RegistryEntry>& entries, Log& log) {
    PermissionManager::StandardFileManagement user;
    std::unique_ptr<PermissionManager::IClientFileManager> system = PermissionManager::CreateFileManager();
    bool failed = false;
    for (const RegistryEntry& entry : entries) {
        const bool isUser = IsUserRegistryPath(entry.keyPath);
        PermissionManager::IClientFileManager& manager = isUser ? user : *system;
        if (manager.UpdateRegistry(entry.keyPath, entry.valueName, entry.action)) {
            log.WriteValue(L"Updated registry", entry.keyPath);
        } else {
            log.WriteTwoValues(isUser ? L"Unable to update user registry" : L"Unable to update system registry",
                               entry.action + L"; " + entry.valueName, entry.keyPath);
            failed = true;
        }
    }
    return failed ? 0 : 1;
}
