#include "session/session.h"

#include "description/secure_code.h"
#include "foundation/paths.h"
#include "session/client_config.h"

HWND ProgressWindow = nullptr;

std::wstring DefaultDownloadFolder() {
    std::wstring folder = ApplicationDirectory() + L"RenewixFiles";
    while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return folder;
}

Renewix& Renewix::Instance() {
    static Renewix session;
    return session;
}

Renewix::Renewix() : downloadFolder_(DefaultDownloadFolder()), files_(downloadFolder_) {}

bool Renewix::CheckSecureCode(const XmlDocument& document) {
    return CheckDocumentSecureCode(document, ClientConfig::Instance().BaseSecureCode(), IsTest(), ProgressWindow);
}

void Renewix::SetLocalDocument(const std::wstring& path) {
    localDocumentPath_ = path;
    test_ = 1;
}
