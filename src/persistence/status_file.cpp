#include "persistence/status_file.h"

#include <windows.h>

#include <cwchar>
#include <memory>
#include <string_view>
#include <utility>

#include "foundation/xml_document.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/file_management.h"
#include "foundation/client_config.h"
#include "foundation/run_state.h"

namespace {

// Save writes the file's new text under this name beside it first.
constexpr wchar_t kReplacementSuffix[] = L".new";
// A status file holds a few versions; anything near this is not one.
constexpr std::size_t kMaxStatusBytes = 16 * 1024 * 1024;

std::wstring ConfiguredPath(const ClientConfig& config) {
    std::wstring name = config.StatusFileName();
    if (name.empty()) name = L"RenewixStatus.xml";
    return ApplicationDirectory() + name;
}

std::string Element(const wchar_t* name, const std::wstring& value) {
    return WideToAnsi(FormatText(L"\t<%ls>%ls</%ls>\r\n", name, EscapeXmlText(value).c_str(), name));
}

// Only a file that is not there is a first run: one whose attributes cannot be read (access
// denied, say) is still there, and must not be taken for a missing one and rewritten. The
// manager that reads the file is asked first; only the system says why a file cannot be seen.
bool IsMissingFile(PermissionManager::IClientFileManager& files, const std::wstring& path) {
    if (files.GetAttributes(path) != INVALID_FILE_ATTRIBUTES) return false;
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The file's bytes; false when it would not open. One far larger than any status file reads
// as nothing: it is then unparsable and written afresh, not kept locked out for good.
bool ReadWholeFile(PermissionManager::IClientFileManager& files, const std::wstring& path, std::string& bytes) {
    std::unique_ptr<PermissionManager::IManagedFile> file;
    if (!OpenWithRetries([&] {
            file = files.Open(path, GENERIC_READ, OPEN_EXISTING, 0);
            return file != nullptr;
        })) {
        return false;
    }
    if (!PermissionManager::ReadAll(*file, bytes, kMaxStatusBytes)) bytes.clear();
    return true;
}

// The text of the last complete <name>...</name> in `bytes`, read without a parser, for a
// file too damaged to parse; empty when there is none.
std::wstring RawElementText(const std::string& bytes, const char* name) {
    const std::string open = std::string("<") + name + ">", close = std::string("</") + name + ">";
    const std::size_t end = bytes.rfind(close);
    if (end == std::string::npos) return {};
    const std::size_t start = bytes.rfind(open, end);
    if (start == std::string::npos) return {};
    std::wstring text = AnsiToWide(std::string_view(bytes).substr(start + open.size(), end - start - open.size()));
    // EscapeXmlText undone, "&amp;" last so that an escaped "&lt;" reads back as it was written.
    for (const auto& [spelled, character] : {std::pair{L"&lt;", L"<"}, {L"&gt;", L">"}, {L"&amp;", L"&"}}) {
        for (std::size_t at = 0; (at = text.find(spelled, at)) != std::wstring::npos; ++at) {
            text.replace(at, std::wcslen(spelled), character);
        }
    }
    return text;
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
    if (state_.Mode == ModeTest) return true;
    const std::wstring replacement = path_ + kReplacementSuffix;
    const bool missing = IsMissingFile(files, path_);
    std::string bytes, replacementBytes;
    if (!missing) {
        if (!ReadWholeFile(files, path_, bytes)) {
            log_.WriteValue(L"Unable to read config file", path_);
            keepAsItIs_ = true;
            return false;
        }
        if (ReadText(bytes)) return IsDue();
    }
    // Save removes the file only once its replacement is complete beside it, so a run that
    // ended in between leaves the replacement to be read.
    if (!IsMissingFile(files, replacement)) {
        if (ReadWholeFile(files, replacement, replacementBytes) && ReadText(replacementBytes)) {
            log_.WriteValue(L"Config file read from the replacement an interrupted save left", replacement);
            return IsDue();
        }
    } else if (missing) {
        return true;  // the first run
    }
    log_.WriteValue(L"Unable to read config file", missing ? replacement : path_);
    // The version is what the file is for: whatever of it survives is kept, else the one this
    // run holds already, so that the rewritten file never records none.
    for (const std::string* text : {&bytes, &replacementBytes}) {
        for (const char* name : {"NoRepromptForVersion", "ApplicationVersion"}) {
            if (const std::wstring version = RawElementText(*text, name); !version.empty()) {
                applicationVersion_ = version;
                return false;
            }
        }
    }
    return false;
}

bool StatusFile::ReadText(const std::string& bytes) {
    if (bytes.empty()) return false;
    try {
        XmlDocument document = XmlDocument::Create(L"Microsoft.XMLDOM");
        if (!document.LoadText(AnsiToWide(bytes))) return false;
        XmlNode count = document.SelectSingle(L"Configuration/NumExecutions");
        numExecutions_ = count ? static_cast<int>(std::wcstol(count.Text().c_str(), nullptr, 10)) : 1;
        if (XmlNode version = document.SelectSingle(L"Configuration/ApplicationVersion")) {
            applicationVersion_ = version.Text();
        }
        log_.WriteNumber(L"Execution #", numExecutions_);
        log_.WriteNumber(L"Check frequency", checkFrequency_);
        if (XmlNode declined = document.SelectSingle(L"Configuration/NoRepromptForVersion")) {
            applicationVersion_ = declined.Text();
            log_.WriteValue(L"** Detected - previously cancelled update version", applicationVersion_);
        }
        return true;
    } catch (const XmlError&) {
        return false;
    }
}

bool StatusFile::IsDue() {
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
    if (state_.Mode == ModeTest) return true;
    if (keepAsItIs_) return false;
    ++numExecutions_;
    return Write(files);
}

bool StatusFile::Write(PermissionManager::IClientFileManager& files) {
    if (state_.Mode == ModeTest) return true;
    if (keepAsItIs_) return false;
    // The new text is made whole on disk beside the file before the file goes, so that a run
    // ended at any point leaves one complete file or the other.
    const std::wstring replacement = path_ + kReplacementSuffix;
    std::unique_ptr<PermissionManager::IManagedFile> file;
    if (!OpenWithRetries([&] {
            file = files.Open(replacement, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH);
            return file != nullptr;
        })) {
        return false;
    }
    const std::string text = Text();
    const bool written = file->Write(text.data(), static_cast<DWORD>(text.size())) != 0;
    if (file->Close() == 0 || !written) return false;
    files.Delete(path_);  // not there on a first run
    return files.Move(replacement, path_) != 0;
}
