#include "publish/publisher.h"

#include <windows.h>

#include <cwctype>

#include "description/secure_code.h"
#include "description/xml_document.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/win_resource.h"
#include "transfer/crc32.h"

namespace {

std::wstring AttributeOf(const XmlNode& node, const wchar_t* name) {
    for (const auto& [key, value] : node.Attributes()) {
        if (key == name) return value;
    }
    return {};
}

std::wstring FullPathOf(const std::wstring& path) {
    wchar_t full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(full, length) : path;
}

bool FileIdentity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION* info) {
    renewix::UniqueFile file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file && GetFileInformationByHandle(file.get(), info);
}

// Fills every File under `list` (directories first, as the client reads them).
bool FillFiles(const XmlNode& list, const PublishRequest& request, std::wstring& report, std::wstring& error,
               std::wstring& warnings) {
    for (const XmlNode& directory : list.SelectChildren(L"Directory")) {
        if (!FillFiles(directory, request, report, error, warnings)) return false;
    }
    std::vector<XmlNode> files = list.SelectChildren(L"File");
    for (XmlNode& file : files) {
        std::wstring relative = AttributeOf(file, L"Src") + AttributeOf(file, L"Name");
        for (wchar_t& c : relative) {
            if (c == L'/') c = L'\\';
        }
        const std::wstring path = request.releaseFolder + L"\\" + relative;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (relative.empty() || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            error = L"the release file '" + path + L"' does not exist";
            return false;
        }
        std::uint32_t crc = 0;
        std::uint64_t size = 0;
        if (std::uint32_t failure = CCrc32Static::ComputeFileCrc(path, crc, size); failure != 0) {
            error = L"the release file '" + path + L"' cannot be read (error " + std::to_wstring(failure) + L")";
            return false;
        }
        file.SetAttribute(L"Size", std::to_wstring(size));
        file.SetAttribute(L"CRC", FormatText(L"%08X", crc));
        std::wstring line = relative + L": " + std::to_wstring(size) + L" bytes, CRC " + FormatText(L"%08X", crc);
        if (size == 0) {
            warnings += relative + L" is empty: clients never fetch a file of size 0, so it will not be installed\r\n";
        }
        const std::wstring version = FileVersionString(path);
        if (request.versions && !version.empty()) {
            file.SetAttribute(L"ByVersion", version);
            line += L", version " + version;
        }
        if (const std::wstring byVersion = AttributeOf(file, L"ByVersion"); !byVersion.empty() && version.empty()) {
            warnings += relative + L" keeps ByVersion=\"" + byVersion +
                        L"\" but has no version resource: clients that have the file will always fetch it again\r\n";
        }
        if (const std::wstring byDate = AttributeOf(file, L"ByDate"); !byDate.empty()) {
            warnings += relative + L" keeps ByDate=\"" + byDate +
                        L"\" as written: this tool does not refresh it, so check that it is the release file's date\r\n";
        }
        report += line + L"\r\n";
    }
    return true;
}

// The client reads a document fetched over FTP as UTF-16LE text itself, with no parser
// guessing the encoding: write exactly that, byte order mark first.
bool SaveUtf16(const XmlDocument& document, const std::wstring& path) {
    const std::string bytes = "\xFF\xFE" + WideToUtf16LeBytes(Utf16DocumentText(document.Root().Markup()));
    renewix::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                         nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

}  // namespace

std::wstring Utf16DocumentText(const std::wstring& markup) {
    std::wstring body = markup;
    const bool declared = StartsWith(body, L"<?xml") && body.size() > 5 && iswspace(body[5]);
    if (declared) {
        const std::size_t end = body.find(L"?>");
        body.erase(0, end == std::wstring::npos ? body.size() : end + 2);
        body.erase(0, body.find_first_not_of(L" \t\r\n"));
    }
    return L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n" + body;
}

bool ParseBaseCode(const std::wstring& text, std::uint32_t& code) {
    std::wstring digits = text;
    if (digits.size() > 2 && digits[0] == L'0' && (digits[1] == L'x' || digits[1] == L'X')) digits.erase(0, 2);
    if (digits.empty() || digits.size() > 8) return false;
    for (wchar_t c : digits) {
        if (!iswxdigit(c)) return false;
    }
    code = ParseHexCode(digits);
    return true;
}

bool IsSameFile(const std::wstring& first, const std::wstring& second) {
    if (EqualsNoCase(FullPathOf(first), FullPathOf(second))) return true;
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    return FileIdentity(first, &a) && FileIdentity(second, &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool Publish(const PublishRequest& request, std::wstring& report, std::wstring& error, std::wstring& warnings) {
    std::uint32_t base = 0;
    if (!ParseBaseCode(request.baseCode, base)) {
        error = L"the base secure code '" + request.baseCode + L"' is not a hexadecimal number of up to 8 digits";
        return false;
    }
    if (IsSameFile(request.document, request.output)) {
        error = L"the output '" + request.output + L"' is the input document: write the published document elsewhere";
        return false;
    }
    // The document is written beside the output and takes its place only when complete, so a
    // failure never costs the vendor an earlier output.
    const std::wstring temporary = request.output + L".publishing";
    const auto removeTemporary = [&] { DeleteFileW(temporary.c_str()); };
    try {
        XmlDocument document = XmlDocument::Create();
        if (!document.LoadFile(request.document)) {
            error = L"'" + request.document + L"' is missing or is not a well-formed XML document";
            return false;
        }
        XmlNode root = document.SelectSingle(L"Renewix");
        if (!root) {
            error = L"'" + request.document + L"' has no Renewix root element";
            return false;
        }
        if (!root.Attributes().empty()) {
            error = L"the Renewix root element must not carry attributes: the secure code covers the text after \"<Renewix>\"";
            return false;
        }
        if (XmlNode list = root.SelectSingle(L"FileList")) {
            if (!FillFiles(list, request, report, error, warnings)) return false;
        }
        // The code covers everything before it, so it goes last; earlier codes are replaced.
        for (const XmlNode& old : root.SelectChildren(L"SecureCode")) root.RemoveChild(old);
        XmlNode code = root.AppendElement(L"SecureCode");
        code.SetText(L"0");
        std::wstring covered;
        if (!CoveredText(root.Markup(), covered)) {
            error = L"the document's markup has no SecureCode element after sealing";
            return false;
        }
        const std::uint32_t value = SecureCodeFor(base, covered);
        code.SetText(FormatText(L"%08X", value));
        report += L"SecureCode: " + FormatText(L"%08X", value) + L"\r\n";
        if (!(request.utf16 ? SaveUtf16(document, temporary) : document.Save(temporary))) {
            removeTemporary();
            error = L"cannot write '" + temporary + L"'";
            return false;
        }
    } catch (const XmlError& failure) {
        removeTemporary();
        error = L"XML error: " + failure.description;
        return false;
    }
    if (!MoveFileExW(temporary.c_str(), request.output.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD code = GetLastError();
        removeTemporary();
        error = L"cannot replace '" + request.output + L"' (error " + std::to_wstring(code) + L")";
        return false;
    }
    return true;
}
