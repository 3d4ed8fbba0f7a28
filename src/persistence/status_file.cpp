#include "persistence/status_file.h"

#include <windows.h>

#include <cwchar>
#include <memory>
#include <optional>

#include "foundation/xml_document.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/file_management.h"
#include "foundation/client_config.h"
#include "foundation/run_state.h"

namespace {

std::wstring ConfiguredPath(const ClientConfig& config) {
    std::wstring name = config.StatusFileName();
    if (name.empty()) name = L"RenewixStatus.xml";
    return ApplicationDirectory() + name;
}

std::string Element(const wchar_t* name, const std::wstring& value) {
    return WideToAnsi(FormatText(L"\t<%ls>%ls</%ls>\r\n", name, EscapeXmlText(value).c_str(), name));
}

// Only a file that is not there is a first run: one whose attributes cannot be read (access
// denied, say) is still there, and must not be taken for a missing one and rewritten.
bool IsMissingFile(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

std::wstring EscapeXmlText(const std::wstring& text) {
    std::wstring result;
    result.reserve(text.size());
    for (wchar_t c : text) {
        if (c == L'<') result += L"&lt;";
        else if (c == L'>') result += L"&gt;";
        else if (c == L'&') result += L"&amp;";
        else result += c;
    }
    return result;
}

StatusFile::StatusFile(std::wstring path, int checkFrequency, int rememberDeclined, const RunState& state, Log& log)
    : state_(state),
      log_(log),
      path_(std::move(path)),
      checkFrequency_(checkFrequency),
      rememberDeclined_(rememberDeclined) {}

StatusFile::StatusFile(const ClientConfig& config, const RunState& state, Log& log)
    : StatusFile(ConfiguredPath(config), static_cast<int>(config.CheckFrequency()),
                 static_cast<int>(config.RememberDeclinedVersion()), state, log) {}

StatusFile::~StatusFile() = default;

bool StatusFile::Load(PermissionManager::IClientFileManager& files) {
    if (state_.Mode == ModeTest || IsMissingFile(path_)) return true;
    Log& log = log_;
    std::string bytes;
    {
        std::unique_ptr<PermissionManager::IManagedFile> file;
        if (!OpenWithRetries([&] {
                file = files.Open(path_, GENERIC_READ, OPEN_EXISTING, 0);
                return file != nullptr;
            })) {
            log.WriteValue(L"Unable to read config file", path_);
            keepAsItIs_ = true;
            return false;
        }
        char buffer[4096];
        for (DWORD read; (read = file->Read(buffer, sizeof(buffer))) != 0;) bytes.append(buffer, read);
    }
    bool parsed = false;
    std::optional<XmlDocument> document;
    try {
        document.emplace(XmlDocument::Create(L"Microsoft.XMLDOM"));
        parsed = !bytes.empty() && document->LoadText(AnsiToWide(bytes));
        if (parsed) {
            XmlNode count = document->SelectSingle(L"Configuration/NumExecutions");
            numExecutions_ = count ? static_cast<int>(std::wcstol(count.Text().c_str(), nullptr, 10)) : 1;
            if (XmlNode version = document->SelectSingle(L"Configuration/ApplicationVersion")) {
                applicationVersion_ = version.Text();
            }
            log.WriteNumber(L"Execution #", numExecutions_);
            log.WriteNumber(L"Check frequency", checkFrequency_);
            if (XmlNode declined = document->SelectSingle(L"Configuration/NoRepromptForVersion")) {
                applicationVersion_ = declined.Text();
                log.WriteValue(L"** Detected - previously cancelled update version", applicationVersion_);
            }
        }
    } catch (const XmlError&) {
        parsed = false;
    }
    if (!parsed) {
        log.WriteValue(L"Unable to read config file", path_);
        return false;
    }
    if (numExecutions_ < checkFrequency_) return false;
    numExecutions_ = 0;
    return true;
}

std::string StatusFile::Text() const {
    std::string text = "<Configuration>\r\n";
    text += Element(L"NumExecutions", std::to_wstring(numExecutions_));
    text += Element(L"CheckFrequency", std::to_wstring(checkFrequency_));
    text += Element(L"ApplicationVersion", applicationVersion_);
    if (installStarted_ == 0 && serverReached_ != 0 && rememberDeclined_ == 1) {
        text += Element(L"NoRepromptForVersion", offeredVersion_);
    }
    return text + "</Configuration>\r\n";
}

bool StatusFile::Save(PermissionManager::IClientFileManager& files) {
    if (state_.Mode == ModeTest || keepAsItIs_) return true;
    ++numExecutions_;
    std::unique_ptr<PermissionManager::IManagedFile> file;
    if (!OpenWithRetries([&] {
            file = files.Open(path_, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, 0);
            return file != nullptr;
        })) {
        return true;
    }
    const std::string text = Text();
    file->Write(text.data(), static_cast<DWORD>(text.size()));
    file->Close();
    return true;
}
