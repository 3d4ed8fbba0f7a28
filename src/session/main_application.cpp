#include "session/main_application.h"

#include "foundation/paths.h"
#include "session/client_config.h"

std::wstring MainApplicationPath() {
    static const std::wstring path = ApplicationDirectory() + ClientConfig::Instance().MainApplicationName();
    return path;
}
