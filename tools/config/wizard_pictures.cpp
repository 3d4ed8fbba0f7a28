#include "config/wizard_pictures.h"

#include <algorithm>
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

std::uint32_t ReadBigEndian32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void Append16(std::string& bytes, std::uint32_t value) {
    bytes += static_cast<char>(value);
    bytes += static_cast<char>(value >> 8);
}

constexpr std::size_t kIconDirectorySize = 6, kIconEntrySize = 16, kGroupEntrySize = 14;
constexpr std::size_t kMostIconImages = 64;
constexpr int kSmallestIcon = 16, kLargestIcon = 256;
const char kPngSignature[] = "\x89PNG\r\n\x1a\n";

// Width and height of one icon image, PNG or bitmap; false with the reason otherwise.
bool IconImageSize(const std::string& image, int& width, int& height, std::wstring& why) {
    if (image.size() >= 24 && image.compare(0, 8, kPngSignature, 8) == 0 && image.compare(12, 4, "IHDR") == 0) {
        width = static_cast<int>(std::min<std::uint32_t>(ReadBigEndian32(image, 16), 1 << 16));
        height = static_cast<int>(std::min<std::uint32_t>(ReadBigEndian32(image, 20), 1 << 16));
        return true;
    }
    if (image.size() < kInfoHeaderSize || Read32(image, 0) < kInfoHeaderSize || Read32(image, 0) > image.size()) {
        why = L"is neither a bitmap nor a PNG picture";
        return false;
    }
    const auto dibWidth = static_cast<std::int32_t>(Read32(image, 4));
    const auto dibHeight = static_cast<std::int32_t>(Read32(image, 8));
    const std::uint16_t planes = Read16(image, 12), bitCount = Read16(image, 14);
    // The height counts the colour pixels and the mask below them.
    if (dibWidth <= 0 || dibHeight <= 0 || dibHeight % 2 != 0 || planes != 1 || dibWidth > (1 << 16) ||
        dibHeight > (1 << 17)) {
        why = L"has no valid size";
        return false;
    }
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32) {
        why = L"has " + std::to_wstring(bitCount) + L" bits per pixel; use 1, 4, 8, 16, 24 or 32";
        return false;
    }
    width = dibWidth;
    height = dibHeight / 2;
    std::uint32_t colours = Read32(image, 32);
    if (bitCount <= 8 && colours == 0) colours = 1u << bitCount;
    const auto w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
    const std::size_t needed = Read32(image, 0) + std::min<std::uint32_t>(colours, 256) * 4 +
                               (w * bitCount + 31) / 32 * 4 * h + (w + 31) / 32 * 4 * h;
    if (image.size() < needed) {
        why = L"is cut short";
        return false;
    }
    return true;
}

}  // namespace

const PictureRules& RulesFor(WizardPicture picture) {
    // Wizard 97 sizes: the header picture stands in the band above the inner pages, the
    // watermark fills the left of the outer pages (wider ones are cut at 164 pixels).
    static const PictureRules header{205, 215, 49, 49, L"header bitmap", L"the header band"};
    static const PictureRules watermark{208, 218, 164, 314, L"watermark bitmap", L"the watermark area"};
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

bool IconImagesFromFile(const std::string& file, std::vector<IconImage>& images, std::wstring& error) {
    if (file.size() < kIconDirectorySize || Read16(file, 0) != 0 || Read16(file, 2) != 1) {
        error = L"the icon is not an ICO file";
        return false;
    }
    const std::size_t count = Read16(file, 4);
    if (count == 0) {
        error = L"the icon holds no images";
        return false;
    }
    if (count > kMostIconImages) {
        error = FormatText(L"the icon holds %d images; at most %d are allowed", static_cast<int>(count),
                           static_cast<int>(kMostIconImages));
        return false;
    }
    const std::size_t directoryEnd = kIconDirectorySize + count * kIconEntrySize;
    if (file.size() < directoryEnd) {
        error = L"the icon is cut short: its directory is missing";
        return false;
    }
    std::vector<IconImage> result;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = kIconDirectorySize + i * kIconEntrySize;
        const std::wstring which = L"the icon's image " + std::to_wstring(i + 1) + L" ";
        const std::size_t size = Read32(file, at + 8), offset = Read32(file, at + 12);
        if (size == 0 || offset < directoryEnd || offset > file.size() || file.size() - offset < size) {
            error = which + L"lies outside the file";
            return false;
        }
        IconImage image{file.substr(at, 12), file.substr(offset, size)};
        std::wstring why;
        if (!IconImageSize(image.bytes, image.width, image.height, why)) {
            error = which + why;
            return false;
        }
        // The directory says 0 for 256 pixels.
        const int listedWidth = static_cast<unsigned char>(file[at]) ? static_cast<unsigned char>(file[at]) : 256;
        const int listedHeight = static_cast<unsigned char>(file[at + 1]) ? static_cast<unsigned char>(file[at + 1]) : 256;
        if (image.width != listedWidth || image.height != listedHeight) {
            error = which + FormatText(L"is %d x %d pixels but the directory says %d x %d", image.width, image.height,
                                       listedWidth, listedHeight);
            return false;
        }
        if (image.width < kSmallestIcon || image.height < kSmallestIcon || image.width > kLargestIcon ||
            image.height > kLargestIcon) {
            error = which + FormatText(L"is %d x %d pixels; icon images are from %d to %d pixels", image.width,
                                       image.height, kSmallestIcon, kLargestIcon);
            return false;
        }
        result.push_back(std::move(image));
    }
    images = std::move(result);
    return true;
}

std::string IconGroupResource(const std::vector<IconImage>& images, const std::vector<int>& ids) {
    std::string group;
    Append16(group, 0);
    Append16(group, 1);
    Append16(group, static_cast<std::uint32_t>(images.size()));
    for (std::size_t i = 0; i < images.size() && i < ids.size(); ++i) {
        group += images[i].entry;
        Append16(group, static_cast<std::uint32_t>(ids[i]));
    }
    return group;
}

bool IconGroupIds(const std::string& group, std::vector<int>& ids) {
    if (group.size() < kIconDirectorySize || Read16(group, 2) != 1) return false;
    const std::size_t count = Read16(group, 4);
    if (group.size() < kIconDirectorySize + count * kGroupEntrySize) return false;
    ids.clear();
    for (std::size_t i = 0; i < count; ++i) ids.push_back(Read16(group, kIconDirectorySize + i * kGroupEntrySize + 12));
    return true;
}
