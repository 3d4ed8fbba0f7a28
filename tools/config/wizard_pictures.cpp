#include "config/wizard_pictures.h"

#include <cstring>

#include "foundation/text.h"

namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderSize = 40;
constexpr std::uint32_t kRgb = 0, kBitFields = 3;

std::uint32_t Read32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::uint16_t Read16(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}

void Write32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

bool Refuse(std::wstring& error, const PictureRules& rules, const std::wstring& why) {
    error = std::wstring(L"the ") + rules.name + L" " + why;
    return false;
}

}  // namespace

const PictureRules& RulesFor(WizardPicture picture) {
    // Wizard 97 sizes: the header picture stands in the band above the inner pages, the
    // watermark fills the left of the outer pages (wider ones are cut at 164 pixels).
    static const PictureRules header{205, 49, 49, L"header bitmap", L"the header band"};
    static const PictureRules watermark{208, 164, 314, L"watermark bitmap", L"the watermark area"};
    return picture == WizardPicture::Header ? header : watermark;
}

bool BitmapResourceFromFile(const std::string& file, WizardPicture picture, std::string& resource,
                            std::wstring& error) {
    const PictureRules& rules = RulesFor(picture);
    if (file.size() < kFileHeaderSize + kInfoHeaderSize || file[0] != 'B' || file[1] != 'M') {
        return Refuse(error, rules, L"is not a BMP file");
    }
    const std::uint32_t pixelOffset = Read32(file, 10);
    const std::uint32_t headerSize = Read32(file, kFileHeaderSize);
    if (headerSize != 40 && headerSize != 52 && headerSize != 56 && headerSize != 108 && headerSize != 124) {
        return Refuse(error, rules, L"has a header of " + std::to_wstring(headerSize) +
                                        L" bytes; save it as a Windows BMP (header of 40, 108 or 124 bytes)");
    }
    if (kFileHeaderSize + headerSize > file.size()) return Refuse(error, rules, L"is cut short");
    const auto width = static_cast<std::int32_t>(Read32(file, 18));
    const auto height = static_cast<std::int32_t>(Read32(file, 22));
    const std::uint16_t planes = Read16(file, 26), bitCount = Read16(file, 28);
    const std::uint32_t compression = Read32(file, 30);
    std::uint32_t colours = Read32(file, 46);
    if (height < 0) return Refuse(error, rules, L"is stored top-down; save it as an ordinary (bottom-up) BMP");
    if (width <= 0 || height == 0 || planes != 1) return Refuse(error, rules, L"has no valid size");
    if (width > rules.maxWidth || height > rules.maxHeight) {
        return Refuse(error, rules, FormatText(L"is %d x %d pixels; %ls holds at most %d x %d", width, height,
                                               rules.area, rules.maxWidth, rules.maxHeight));
    }
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32) {
        return Refuse(error, rules, L"has " + std::to_wstring(bitCount) + L" bits per pixel; use 1, 4, 8, 16, 24 or 32");
    }
    const bool masks = compression == kBitFields && (bitCount == 16 || bitCount == 32);
    if (compression != kRgb && !masks) {
        return Refuse(error, rules, L"is compressed; save it as an uncompressed BMP");
    }
    if (bitCount <= 8) {
        const std::uint32_t most = 1u << bitCount;
        if (colours == 0) colours = most;
        if (colours > most) return Refuse(error, rules, L"has a colour table larger than its bits allow");
    } else if (colours > 256) {
        return Refuse(error, rules, L"has a colour table larger than 256 entries");
    }
    // Masks stand right after a 40-byte header and inside the longer ones.
    const std::size_t maskBytes = masks ? 12 : 0;
    const std::size_t masksAt = kFileHeaderSize + kInfoHeaderSize;
    const std::size_t tableAt = kFileHeaderSize + headerSize + (headerSize == 40 ? maskBytes : 0);
    const std::size_t tableBytes = static_cast<std::size_t>(colours) * 4;
    if (masksAt + maskBytes > file.size() || tableAt + tableBytes > pixelOffset || pixelOffset > file.size()) {
        return Refuse(error, rules, L"has its colour table or pixels outside the file");
    }
    const std::size_t stride = (static_cast<std::size_t>(width) * bitCount + 31) / 32 * 4;
    const std::size_t pixelBytes = stride * static_cast<std::size_t>(height);
    if (file.size() - pixelOffset < pixelBytes) return Refuse(error, rules, L"is cut short: its pixels are missing");

    resource.assign(file, kFileHeaderSize, kInfoHeaderSize);
    Write32(resource, 0, kInfoHeaderSize);
    Write32(resource, 20, static_cast<std::uint32_t>(pixelBytes));
    Write32(resource, 32, colours);
    Write32(resource, 36, 0);
    if (masks) resource.append(file, masksAt, maskBytes);
    resource.append(file, tableAt, tableBytes);
    resource.append(file, pixelOffset, pixelBytes);
    return true;
}

bool BitmapResourceSize(const std::string& resource, int& width, int& height) {
    if (resource.size() < kInfoHeaderSize || Read32(resource, 0) < kInfoHeaderSize) return false;
    width = static_cast<std::int32_t>(Read32(resource, 4));
    height = static_cast<std::int32_t>(Read32(resource, 8));
    if (height < 0) height = -height;
    return width > 0 && height > 0;
}
