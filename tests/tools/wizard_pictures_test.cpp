#include "config/wizard_pictures.h"

#include <gtest/gtest.h>

#include <random>

#include "config/settings_file.h"
#include "test_support.h"
#include "ui/picture_scale.h"

namespace {

void Put32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

void Put16(std::string& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<char>(value);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

struct Bmp {
    int width = 49;
    int height = 49;
    int bits = 24;
    std::uint32_t headerSize = 40;
    std::uint32_t compression = 0;
    std::uint32_t colours = 0;  // the table's entries as written (0: none for > 8 bits)
    std::size_t gap = 0;        // bytes between the table and the pixels
};

std::size_t Stride(int width, int bits) { return (static_cast<std::size_t>(width) * bits + 31) / 32 * 4; }

// A BMP file whose pixel bytes count up, so that moved bytes show.
std::string MakeBmp(const Bmp& bmp) {
    const bool masks = bmp.compression == 3;
    const std::size_t maskBytes = masks && bmp.headerSize == 40 ? 12 : 0;
    const std::size_t table = bmp.colours * 4;
    const std::size_t pixels = Stride(bmp.width, bmp.bits) * static_cast<std::size_t>(bmp.height < 0 ? -bmp.height : bmp.height);
    const std::size_t offset = 14 + bmp.headerSize + maskBytes + table + bmp.gap;
    std::string file(offset + pixels, '\0');
    file[0] = 'B';
    file[1] = 'M';
    Put32(file, 2, static_cast<std::uint32_t>(file.size()));
    Put32(file, 10, static_cast<std::uint32_t>(offset));
    Put32(file, 14, bmp.headerSize);
    Put32(file, 18, static_cast<std::uint32_t>(bmp.width));
    Put32(file, 22, static_cast<std::uint32_t>(bmp.height));
    Put16(file, 26, 1);
    Put16(file, 28, static_cast<std::uint16_t>(bmp.bits));
    Put32(file, 30, bmp.compression);
    Put32(file, 46, bmp.colours);
    if (masks) {
        Put32(file, 54, 0xFF0000);
        Put32(file, 58, 0xFF00);
        Put32(file, 62, 0xFF);
    }
    for (std::size_t i = 0; i < table; ++i) file[14 + bmp.headerSize + maskBytes + i] = static_cast<char>(0xA0 + i);
    for (std::size_t i = 0; i < pixels; ++i) file[offset + i] = static_cast<char>(i * 7);
    return file;
}

std::uint32_t Get32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

TEST(WizardPictures, PlainBitmapBecomesItsResourceForm) {
    const std::string file = MakeBmp({});
    std::string resource;
    std::wstring error;
    ASSERT_TRUE(BitmapResourceFromFile(file, WizardPicture::Header, resource, error)) << WideToUtf8(error);
    const std::size_t pixels = Stride(49, 24) * 49;
    ASSERT_EQ(40 + pixels, resource.size());
    EXPECT_EQ(40u, Get32(resource, 0));
    EXPECT_EQ(pixels, Get32(resource, 20));
    EXPECT_EQ(file.substr(file.size() - pixels), resource.substr(40));
    int width = 0, height = 0;
    ASSERT_TRUE(BitmapResourceSize(resource, width, height));
    EXPECT_EQ(49, width);
    EXPECT_EQ(49, height);
    EXPECT_EQ(205, RulesFor(WizardPicture::Header).resourceId);
    EXPECT_EQ(208, RulesFor(WizardPicture::Watermark).resourceId);
}

TEST(WizardPictures, TablesAndMasksEndUpRightBehindTheHeader) {
    // A short colour table followed by a gap that some programs leave before the pixels.
    std::string file = MakeBmp({.width = 30, .height = 20, .bits = 8, .colours = 3, .gap = 10});
    std::string resource;
    std::wstring error;
    ASSERT_TRUE(BitmapResourceFromFile(file, WizardPicture::Watermark, resource, error)) << WideToUtf8(error);
    const std::size_t pixels = Stride(30, 8) * 20;
    ASSERT_EQ(40 + 12 + pixels, resource.size());
    EXPECT_EQ(3u, Get32(resource, 32));
    EXPECT_EQ(file.substr(54, 12), resource.substr(40, 12));
    EXPECT_EQ(file.substr(file.size() - pixels), resource.substr(52));

    // A version 5 header with colour masks: plain header, then the masks.
    file = MakeBmp({.width = 10, .height = 10, .bits = 32, .headerSize = 124, .compression = 3});
    ASSERT_TRUE(BitmapResourceFromFile(file, WizardPicture::Header, resource, error)) << WideToUtf8(error);
    EXPECT_EQ(40u, Get32(resource, 0));
    EXPECT_EQ(0xFF0000u, Get32(resource, 40));
    EXPECT_EQ(40 + 12 + Stride(10, 32) * 10, resource.size());

    // A 4-bit picture without a count uses the whole table.
    file = MakeBmp({.width = 5, .height = 5, .bits = 4, .colours = 16});
    Put32(file, 46, 0);
    ASSERT_TRUE(BitmapResourceFromFile(file, WizardPicture::Header, resource, error)) << WideToUtf8(error);
    EXPECT_EQ(16u, Get32(resource, 32));
}

TEST(WizardPictures, LargestSizesFitAndLargerOnesAreRefused) {
    std::string resource;
    std::wstring error;
    EXPECT_TRUE(BitmapResourceFromFile(MakeBmp({.width = 164, .height = 314}), WizardPicture::Watermark, resource,
                                       error));
    EXPECT_FALSE(BitmapResourceFromFile(MakeBmp({.width = 165, .height = 314}), WizardPicture::Watermark, resource,
                                        error));
    EXPECT_WSTREQ8(L"the watermark bitmap is 165 x 314 pixels; the watermark area holds at most 164 x 314", error);
    EXPECT_FALSE(BitmapResourceFromFile(MakeBmp({.width = 49, .height = 50}), WizardPicture::Header, resource, error));
    EXPECT_WSTREQ8(L"the header bitmap is 49 x 50 pixels; the header band holds at most 49 x 49", error);
}

TEST(WizardPictures, FilesThatAreNotUsableBitmapsAreRefusedWithTheReason) {
    struct Bad {
        std::string file;
        const char* message;
    };
    std::string truncated = MakeBmp({});
    truncated.resize(truncated.size() - 1);
    std::string wrongMagic = MakeBmp({});
    wrongMagic[0] = 'P';
    std::string twoPlanes = MakeBmp({});
    Put16(twoPlanes, 26, 2);
    std::string offsetOutside = MakeBmp({});
    Put32(offsetOutside, 10, static_cast<std::uint32_t>(offsetOutside.size() + 1));
    std::string tableOverPixels = MakeBmp({.width = 8, .height = 8, .bits = 8, .colours = 4});
    Put32(tableOverPixels, 46, 200);
    const Bad cases[] = {
        {"GIF89a", "the header bitmap is not a BMP file"},
        {wrongMagic, "the header bitmap is not a BMP file"},
        {MakeBmp({.headerSize = 12}), "the header bitmap has a header of 12 bytes; save it as a Windows BMP (header "
                                      "of 40, 108 or 124 bytes)"},
        {MakeBmp({.height = -49}), "the header bitmap is stored top-down; save it as an ordinary (bottom-up) BMP"},
        {MakeBmp({.width = 0}), "the header bitmap has no valid size"},
        {twoPlanes, "the header bitmap has no valid size"},
        {MakeBmp({.bits = 2}), "the header bitmap has 2 bits per pixel; use 1, 4, 8, 16, 24 or 32"},
        {MakeBmp({.bits = 8, .compression = 1, .colours = 2}), "the header bitmap is compressed; save it as an "
                                                               "uncompressed BMP"},
        {MakeBmp({.bits = 24, .compression = 3}), "the header bitmap is compressed; save it as an uncompressed BMP"},
        {MakeBmp({.bits = 1, .colours = 3}), "the header bitmap has a colour table larger than its bits allow"},
        {offsetOutside, "the header bitmap has its colour table or pixels outside the file"},
        {tableOverPixels, "the header bitmap has its colour table or pixels outside the file"},
        {truncated, "the header bitmap is cut short: its pixels are missing"},
    };
    for (const Bad& bad : cases) {
        std::string resource = "untouched";
        std::wstring error;
        EXPECT_FALSE(BitmapResourceFromFile(bad.file, WizardPicture::Header, resource, error)) << bad.message;
        EXPECT_EQ(bad.message, WideToUtf8(error));
        EXPECT_EQ("untouched", resource);
    }
}

TEST(WizardPictures, DamagedFilesNeverCrashTheCheck) {
    const std::string good = MakeBmp({.width = 20, .height = 12, .bits = 8, .colours = 256});
    std::mt19937 random(20260512);
    for (int round = 0; round < 3000; ++round) {
        std::string file = good;
        const int changes = 1 + static_cast<int>(random() % 6);
        for (int change = 0; change < changes; ++change) {
            file[random() % 80] = static_cast<char>(random());
        }
        if (round % 3 == 0) file.resize(random() % file.size());
        std::string resource;
        std::wstring error;
        if (BitmapResourceFromFile(file, WizardPicture::Watermark, resource, error)) {
            int width = 0, height = 0;
            ASSERT_TRUE(BitmapResourceSize(resource, width, height));
            EXPECT_LE(width, 164);
            EXPECT_LE(height, 314);
            EXPECT_GE(resource.size(), 40u + Get32(resource, 20));
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(WizardPictures, SettingsNameThePicturesInTheirOwnSection) {
    ClientConfig::Bytes record{};
    SettingsExtras extras;
    const WizardPictureFiles& pictures = extras.pictures;
    std::wstring error;
    ASSERT_TRUE(ParseSettings(L"[Application]\nApplicationName=Viewer\n[wizard]\nheaderbitmap=logo.bmp\n"
                              L"WatermarkBitmap=\"art\\side.bmp\"\nIcon=app.ico\n",
                              record, error, &extras))
        << WideToUtf8(error);
    EXPECT_WSTREQ8(L"logo.bmp", pictures.header);
    EXPECT_WSTREQ8(L"art\\side.bmp", pictures.watermark);
    EXPECT_WSTREQ8(L"app.ico", pictures.icon);
    EXPECT_FALSE(ParseSettings(L"[Wizard]\nBanner=x.bmp\n", record, error, &extras));
    EXPECT_WSTREQ8(L"line 2: unknown key 'Banner' in section [Wizard]", error);
    EXPECT_FALSE(ParseSettings(L"[Wizard]\nHeaderBitmap=a\nHeaderBitmap=b\n", record, error, &extras));
    EXPECT_WSTREQ8(L"line 3: Wizard.HeaderBitmap is given twice", error);
    EXPECT_WSTREQ8(L"logo.bmp", pictures.header);  // a refused file changes nothing

    // The formatted settings end with the section, its keys empty: written back, they keep
    // the pictures the client has.
    const WizardPictureFiles notes{L"the client carries the default header bitmap", L"", L"the client carries no icon"};
    const std::wstring text = FormatSettings(record, {}, &notes);
    const std::wstring tail = L"\r\n[Wizard]\r\n; the client carries the default header bitmap\r\nHeaderBitmap=\r\n"
                              L"WatermarkBitmap=\r\n; the client carries no icon\r\nIcon=\r\n";
    EXPECT_TRUE(text.ends_with(tail)) << WideToUtf8(text);
    ASSERT_TRUE(ParseSettings(text, record, error, &extras));
    EXPECT_TRUE(pictures.header.empty() && pictures.watermark.empty() && pictures.icon.empty());
}

struct IcoImage {
    int size = 32;         // the pixels of the picture
    int listed = -1;       // the directory's width and height (-1: the size; 256 is written as 0)
    bool png = false;
    std::size_t cut = 0;   // bytes missing at the end of the image
};

// An ICO file of 32-bit images; each image's pixels count up so that moved bytes show.
std::string MakeIco(const std::vector<IcoImage>& images) {
    std::string file(6 + 16 * images.size(), '\0');
    Put16(file, 2, 1);
    Put16(file, 4, static_cast<std::uint16_t>(images.size()));
    for (std::size_t i = 0; i < images.size(); ++i) {
        const IcoImage& image = images[i];
        std::string bytes;
        if (image.png) {
            bytes = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + std::string(9, '\0');
            bytes[18] = static_cast<char>(image.size >> 8);
            bytes[19] = static_cast<char>(image.size);
            bytes[22] = static_cast<char>(image.size >> 8);
            bytes[23] = static_cast<char>(image.size);
        } else {
            const std::size_t pixels = static_cast<std::size_t>(image.size) * image.size * 4;
            const std::size_t mask = Stride(image.size, 1) * image.size;
            bytes.assign(40 + pixels + mask, '\0');
            Put32(bytes, 0, 40);
            Put32(bytes, 4, static_cast<std::uint32_t>(image.size));
            Put32(bytes, 8, static_cast<std::uint32_t>(image.size * 2));
            Put16(bytes, 12, 1);
            Put16(bytes, 14, 32);
            for (std::size_t b = 40; b < bytes.size(); ++b) bytes[b] = static_cast<char>(b * 7 + i);
        }
        bytes.resize(bytes.size() - image.cut);
        const int listed = image.listed < 0 ? image.size : image.listed;
        const std::size_t at = 6 + 16 * i;
        file[at] = file[at + 1] = static_cast<char>(listed % 256);
        Put16(file, at + 4, 1);
        Put16(file, at + 6, 32);
        Put32(file, at + 8, static_cast<std::uint32_t>(bytes.size()));
        Put32(file, at + 12, static_cast<std::uint32_t>(file.size()));
        file += bytes;
    }
    return file;
}

TEST(WizardPictures, IconsAreCheckedAndSplitIntoTheirImages) {
    const std::string file = MakeIco({{.size = 16}, {.size = 48}, {.size = 256, .png = true}});
    std::vector<IconImage> images;
    std::wstring error;
    ASSERT_TRUE(IconImagesFromFile(file, images, error)) << WideToUtf8(error);
    ASSERT_EQ(3u, images.size());
    EXPECT_EQ(48, images[1].width);
    EXPECT_EQ(256, images[2].height);
    EXPECT_EQ(file.substr(6 + 16, 12), images[1].entry);
    EXPECT_EQ(file.substr(Get32(file, 6 + 16 + 12), Get32(file, 6 + 16 + 8)), images[1].bytes);
    // The group names each image by the id it is stored under.
    const std::string group = IconGroupResource(images, {4, 9, 2});
    ASSERT_EQ(6u + 3 * 14, group.size());
    EXPECT_EQ(images[1].entry, group.substr(6 + 14, 12));
    std::vector<int> ids;
    ASSERT_TRUE(IconGroupIds(group, ids));
    EXPECT_EQ((std::vector<int>{4, 9, 2}), ids);

    struct Bad {
        std::string file;
        const char* message;
    };
    std::string outside = MakeIco({{}});
    Put32(outside, 6 + 12, static_cast<std::uint32_t>(outside.size() - 10));
    std::string intoDirectory = MakeIco({{}});
    Put32(intoDirectory, 6 + 12, 2);
    std::string cursor = MakeIco({{}});
    Put16(cursor, 2, 2);
    std::string garbage = MakeIco({{}});
    Put32(garbage, 22, 0x11223344);
    const Bad cases[] = {
        {"", "the icon is not an ICO file"},
        {cursor, "the icon is not an ICO file"},
        {MakeIco({}), "the icon holds no images"},
        {MakeIco({{}}).substr(0, 12), "the icon is cut short: its directory is missing"},
        {outside, "the icon's image 1 lies outside the file"},
        {intoDirectory, "the icon's image 1 lies outside the file"},
        {MakeIco({{}, {.cut = 1}}), "the icon's image 2 is cut short"},
        {garbage, "the icon's image 1 is neither a bitmap nor a PNG picture"},
        {MakeIco({{.size = 32, .listed = 48}}), "the icon's image 1 is 32 x 32 pixels but the directory says 48 x 48"},
        {MakeIco({{.size = 8}}), "the icon's image 1 is 8 x 8 pixels; icon images are from 16 to 256 pixels"},
        {MakeIco({{.size = 512, .listed = 256, .png = true}}),
         "the icon's image 1 is 512 x 512 pixels but the directory says 256 x 256"},
    };
    for (const Bad& bad : cases) {
        images = {IconImage{"untouched", {}}};
        EXPECT_FALSE(IconImagesFromFile(bad.file, images, error)) << bad.message;
        EXPECT_EQ(bad.message, WideToUtf8(error));
        ASSERT_EQ(1u, images.size());
        EXPECT_EQ("untouched", images[0].entry);
    }

    // Damaged files are refused or give images inside the limits, never a crash.
    std::mt19937 random(20261208);
    for (int round = 0; round < 2000; ++round) {
        std::string damaged = file;
        for (int change = 0; change < 4; ++change) damaged[random() % 80] = static_cast<char>(random());
        if (round % 3 == 0) damaged.resize(random() % damaged.size());
        if (IconImagesFromFile(damaged, images, error)) {
            for (const IconImage& image : images) {
                EXPECT_TRUE(image.width >= 16 && image.width <= 256 && image.height >= 16 && image.height <= 256);
            }
        }
    }
}

TEST(WizardPictures, TheSheetShowsThePictureDrawnForItsScale) {
    struct Case {
        int dpi;
        SIZE single, twice;
        PictureSource source;
        int width, height;
    };
    const Case cases[] = {
        {96, {49, 49}, {98, 98}, PictureSource::Single, 49, 49},
        {120, {49, 49}, {98, 98}, PictureSource::Double, 61, 61},
        {144, {164, 314}, {328, 628}, PictureSource::Double, 246, 471},
        {192, {49, 49}, {98, 98}, PictureSource::Double, 98, 98},
        // A vendor's picture has no double-size one: it is scaled at every size.
        {192, {40, 30}, {0, 0}, PictureSource::Single, 80, 60},
        {96, {0, 0}, {98, 98}, PictureSource::Double, 49, 49},
        {0, {49, 49}, {98, 98}, PictureSource::Single, 49, 49},
        {192, {0, 0}, {0, 0}, PictureSource::None, 0, 0},
    };
    for (const Case& c : cases) {
        const PictureChoice choice = ChoosePicture(c.dpi, c.single, c.twice);
        EXPECT_EQ(c.source, choice.source) << c.dpi << " dpi, 1x " << c.single.cx;
        EXPECT_EQ(c.width, choice.width) << c.dpi << " dpi, 1x " << c.single.cx;
        EXPECT_EQ(c.height, choice.height) << c.dpi << " dpi, 1x " << c.single.cx;
    }
}

}  // namespace
