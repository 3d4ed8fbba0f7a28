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

// Fills every File under `list` (directories first, as the client reads them).
bool FillFiles(const XmlNode& list, const PublishRequest& request, std::wstring& report, std::wstring& error) {
    for (const XmlNode& directory : list.SelectChildren(L"Directory")) {
        if (!FillFiles(directory, request, report, error)) return false;
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
        // The client reads sizes as signed 32-bit numbers.
        if (data.nFileSizeHigh != 0 || data.nFileSizeLow > 0x7FFFFFFF) {
            error = L"the release file '" + path + L"' is larger than 2 GiB, which the client cannot fetch";
            return false;
        }
        std::uint32_t crc = 0;
        if (std::uint32_t failure = CCrc32Static::ComputeFileCrc(path, crc); failure != 0) {
            error = L"the release file '" + path + L"' cannot be read (error " + std::to_wstring(failure) + L")";
            return false;
        }
        file.SetAttribute(L"Size", std::to_wstring(data.nFileSizeLow));
        file.SetAttribute(L"CRC", FormatText(L"%08X", crc));
        std::wstring line = relative + L": " + std::to_wstring(data.nFileSizeLow) + L" bytes, CRC " +
                            FormatText(L"%08X", crc);
        if (request.versions) {
            const std::wstring version = FileVersionString(path);
            if (!version.empty()) {
                file.SetAttribute(L"ByVersion", version);
                line += L", version " + version;
            }
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

bool Publish(const PublishRequest& request, std::wstring& report, std::wstring& error) {
    std::uint32_t base = 0;
    if (!ParseBaseCode(request.baseCode, base)) {
        error = L"the base secure code '" + request.baseCode + L"' is not a hexadecimal number of up to 8 digits";
        return false;
    }
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
            if (!FillFiles(list, request, report, error)) return false;
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
        if (!(request.utf16 ? SaveUtf16(document, request.output) : document.Save(request.output))) {
            DeleteFileW(request.output.c_str());
            error = L"cannot write '" + request.output + L"'";
            return false;
        }
    } catch (const XmlError& failure) {
        DeleteFileW(request.output.c_str());
        error = L"XML error: " + failure.description;
        return false;
    }
    return true;
}
