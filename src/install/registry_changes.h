// Applies the document's registry list once the files are installed.
#pragma once

#include <vector>

#include "description/registry_list.h"

class Log;

namespace PermissionManager {
class IClientFileManager;
}

// Entries under the user's own hive are applied in-process, the others through `files`, the
// run's file manager (the service, when it answers). 1 when every entry was applied; failures are logged
// and the rest still applied.
int ApplyRegistryList(const std::vector<RegistryEntry>& entries, PermissionManager::IClientFileManager& files,
                      Log& log);
