#include "install/registry_changes.h"

#include "foundation/file_management.h"
#include "foundation/log.h"

int ApplyRegistryList(const std::vector<RegistryEntry>& entries, PermissionManager::IClientFileManager& files,
                      Log& log) {
    PermissionManager::StandardFileManagement user(log);
    bool failed = false;
    for (const RegistryEntry& entry : entries) {
        const bool isUser = IsUserRegistryPath(entry.keyPath);
        PermissionManager::IClientFileManager& manager = isUser ? user : files;
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
