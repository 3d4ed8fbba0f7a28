#include "config/settings_file.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

#include "foundation/text.h"

namespace {

const wchar_t kWizardSection[] = L"Wizard";
const wchar_t kHeaderKey[] = L"HeaderBitmap";
const wchar_t kWatermarkKey[] = L"WatermarkBitmap";
const wchar_t kIconKey[] = L"Icon";

using config_record::Field;
using config_record::FieldKind;

const wchar_t kSecuritySection[] = L"Security";
const wchar_t kTrustedKeysKey[] = L"TrustedKeys";

std::wstring Trim(const std::wstring& text) {
    std::size_t begin = text.find_first_not_of(L" \t");
    if (begin == std::wstring::npos) return {};
    std::size_t end = text.find_last_not_of(L" \t");
    return text.substr(begin, end - begin + 1);
}

bool NeedsQuotes(const std::wstring& value) {
    if (value.empty()) return false;
    return value.front() == L'"' || value.front() == L' ' || value.front() == L'\t' || value.back() == L' ' ||
           value.back() == L'\t';
}

std::wstring Unquote(const std::wstring& value) {
    if (value.size() >= 2 && value.front() == L'"' && value.back() == L'"') {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

const Field* FindField(const std::wstring& section, const std::wstring& key) {
    std::size_t count = 0;
    const Field* fields = config_record::Fields(&count);
    for (std::size_t i = 0; i < count; ++i) {
        if (EqualsNoCase(section, AnsiToWide(fields[i].section)) && EqualsNoCase(key, AnsiToWide(fields[i].key))) {
            return &fields[i];
        }
    }
    return nullptr;
}

bool ParseNumber(const std::wstring& value, std::uint32_t& number) {
    if (value.empty() || value.size() > 10) return false;
    unsigned long long result = 0;
    for (wchar_t c : value) {
        if (c < L'0' || c > L'9') return false;
        result = result * 10 + static_cast<unsigned>(c - L'0');
    }
    if (result > 0xFFFFFFFFull) return false;
    number = static_cast<std::uint32_t>(result);
    return true;
}

std::wstring FieldName(const Field& field) {
    return AnsiToWide(field.section) + L"." + AnsiToWide(field.key);
}

}  // namespace

bool ParseSettings(const std::wstring& text, ClientConfig::Bytes& record, std::wstring& error,
                   SettingsExtras* extras) {
    ClientConfig::Bytes result{};
    std::vector<Ed25519PublicKey> trusted;
    bool trustedSeen = false;
    WizardPictureFiles files;
    bool seenHeader = false, seenWatermark = false, seenIcon = false;
    std::wstring section;
    std::size_t fieldCount = 0;
    const Field* fields = config_record::Fields(&fieldCount);
    std::vector<bool> seen(fieldCount);

    std::size_t lineNumber = 0;
    for (std::size_t begin = 0; begin <= text.size();) {
        std::size_t end = text.find(L'\n', begin);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(begin, end - begin);
        begin = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        const std::wstring where = L"line " + std::to_wstring(lineNumber) + L": ";

        std::wstring trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == L';' || trimmed[0] == L'#') continue;
        if (trimmed[0] == L'[') {
            if (trimmed.back() != L']') {
                error = where + L"a section header must end with ']'";
                return false;
            }
            section = Trim(trimmed.substr(1, trimmed.size() - 2));
            continue;
        }
        std::size_t equals = line.find(L'=');
        if (equals == std::wstring::npos) {
            error = where + L"expected 'Key=value', found '" + trimmed + L"'";
            return false;
        }
        std::wstring key = Trim(line.substr(0, equals));
        std::wstring value = Unquote(Trim(line.substr(equals + 1)));
        // The keys live in a resource of their own, not in the record.
        if (EqualsNoCase(section, kSecuritySection) && EqualsNoCase(key, kTrustedKeysKey)) {
            if (trustedSeen) {
                error = where + L"Security.TrustedKeys is given twice";
                return false;
            }
            trustedSeen = true;
            std::wstring why;
            if (!ParseTrustedKeysText(value, trusted, why)) {
                error = where + L"Security.TrustedKeys: " + why;
                return false;
            }
            continue;
        }
        if (EqualsNoCase(section, kWizardSection)) {
            const std::pair<const wchar_t*, std::pair<bool*, std::wstring*>> keys[] = {
                {kHeaderKey, {&seenHeader, &files.header}},
                {kWatermarkKey, {&seenWatermark, &files.watermark}},
                {kIconKey, {&seenIcon, &files.icon}}};
            const auto known = std::find_if(std::begin(keys), std::end(keys),
                                            [&](const auto& entry) { return EqualsNoCase(key, entry.first); });
            if (known == std::end(keys)) {
                error = where + L"unknown key '" + key + L"' in section [" + section + L"]";
                return false;
            }
            auto [seen, file] = known->second;
            if (*seen) {
                error = where + L"Wizard." + key + L" is given twice";
                return false;
            }
            *seen = true;
            *file = value;
            continue;
        }
        const Field* field = FindField(section, key);
        if (!field) {
            error = where + L"unknown key '" + key + L"' in section [" + section + L"]";
            return false;
        }
        std::size_t index = static_cast<std::size_t>(field - fields);
        if (seen[index]) {
            error = where + FieldName(*field) + L" is given twice";
            return false;
        }
        seen[index] = true;

        if (field->kind == FieldKind::Number) {
            std::uint32_t number = 0;
            if (!ParseNumber(value, number)) {
                error = where + FieldName(*field) + L" must be a whole number from 0 to 4294967295, not '" + value +
                        L"'";
                return false;
            }
            for (int i = 0; i < 4; ++i) result[field->offset + i] = static_cast<std::uint8_t>(number >> (8 * i));
            continue;
        }
        bool lossless = true;
        std::string ansi = WideToAnsi(value, &lossless);
        if (!lossless) {
            error = where + FieldName(*field) + L" holds characters that the system code page cannot store";
            return false;
        }
        if (ansi.find('\0') != std::string::npos) {
            error = where + FieldName(*field) + L" must not contain a zero character";
            return false;
        }
        // The last byte of every text field stays zero, so a field holds width - 1 bytes.
        if (ansi.size() > field->width - 1) {
            error = where + FieldName(*field) + L" is " + std::to_wstring(ansi.size()) +
                    L" bytes long; it holds at most " + std::to_wstring(field->width - 1);
            return false;
        }
        std::memcpy(result.data() + field->offset, ansi.data(), ansi.size());
    }
    record = result;
    if (extras) {
        extras->trustedKeys = std::move(trusted);
        extras->trustedKeysGiven = trustedSeen;
        extras->pictures = files;
    }
    return true;
}

std::wstring FormatSettings(const ClientConfig::Bytes& record, const std::vector<Ed25519PublicKey>& keys,
                            const WizardPictureFiles* pictureNotes) {
    ClientConfig config;
    config.LoadFromBytes(record.data(), record.size());
    std::size_t count = 0;
    const Field* fields = config_record::Fields(&count);
    std::wstring text;
    std::wstring section;
    for (std::size_t i = 0; i < count; ++i) {
        std::wstring fieldSection = AnsiToWide(fields[i].section);
        if (fieldSection != section) {
            if (!section.empty()) text += L"\r\n";
            text += L"[" + fieldSection + L"]\r\n";
            section = fieldSection;
        }
        std::wstring value = fields[i].kind == FieldKind::Number
                                 ? std::to_wstring(config.Number(fields[i].offset))
                                 : config.Text(fields[i].offset, fields[i].width);
        if (NeedsQuotes(value)) value = L"\"" + value + L"\"";
        text += AnsiToWide(fields[i].key) + L"=" + value + L"\r\n";
    }
    text += L"\r\n[" + std::wstring(kSecuritySection) + L"]\r\n" + kTrustedKeysKey + L"=" + FormatTrustedKeysText(keys) +
            L"\r\n";
    text += L"\r\n[" + std::wstring(kWizardSection) + L"]\r\n";
    if (pictureNotes && !pictureNotes->header.empty()) text += L"; " + pictureNotes->header + L"\r\n";
    text += std::wstring(kHeaderKey) + L"=\r\n";
    if (pictureNotes && !pictureNotes->watermark.empty()) text += L"; " + pictureNotes->watermark + L"\r\n";
    text += std::wstring(kWatermarkKey) + L"=\r\n";
    if (pictureNotes && !pictureNotes->icon.empty()) text += L"; " + pictureNotes->icon + L"\r\n";
    text += std::wstring(kIconKey) + L"=\r\n";
    return text;
}

std::vector<std::wstring> SettingsWarnings(const ClientConfig::Bytes& record) {
    ClientConfig config;
    config.LoadFromBytes(record.data(), record.size());
    std::vector<std::wstring> warnings;
    // The schedule page is always offered; its task would start the client as a plain launch.
    if (config.BackgroundKeyword().empty()) {
        warnings.push_back(L"Application.BackgroundKeyword is empty: the client cannot save a schedule, since the "
                           L"scheduled task would start it without the keyword of a background check");
    }
    return warnings;
}

bool DecodeSettingsFile(const std::string& bytes, std::wstring& text, std::wstring& error) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            error = L"the settings file is UTF-16 but has an odd number of bytes";
            return false;
        }
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
        return true;
    }
    std::string_view body(bytes);
    if (body.size() >= 3 && body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
    bool valid = true;
    text = Utf8ToWide(body, &valid);
    if (!valid) {
        error = L"the settings file is not valid UTF-8 text";
        return false;
    }
    return true;
}
