#include "config/wizard_pictures.h"

#include <gtest/gtest.h>

#include <random>

#include "config/settings_file.h"
#include "test_support.h"

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
                              L"WatermarkBitmap=\"art\\side.bmp\"\n",
                              record, error, &extras))
        << WideToUtf8(error);
    EXPECT_WSTREQ8(L"logo.bmp", pictures.header);
    EXPECT_WSTREQ8(L"art\\side.bmp", pictures.watermark);
    EXPECT_FALSE(ParseSettings(L"[Wizard]\nBanner=x.bmp\n", record, error, &extras));
    EXPECT_WSTREQ8(L"line 2: unknown key 'Banner' in section [Wizard]", error);
    EXPECT_FALSE(ParseSettings(L"[Wizard]\nHeaderBitmap=a\nHeaderBitmap=b\n", record, error, &extras));
    EXPECT_WSTREQ8(L"line 3: Wizard.HeaderBitmap is given twice", error);
    EXPECT_WSTREQ8(L"logo.bmp", pictures.header);  // a refused file changes nothing

    // The formatted settings end with the section, its keys empty: written back, they keep
    // the pictures the client has.
    const WizardPictureFiles notes{L"the client carries the default header bitmap", L""};
    const std::wstring text = FormatSettings(record, {}, &notes);
    const std::wstring tail = L"\r\n[Wizard]\r\n; the client carries the default header bitmap\r\nHeaderBitmap=\r\n"
                              L"WatermarkBitmap=\r\n";
    EXPECT_TRUE(text.ends_with(tail)) << WideToUtf8(text);
    ASSERT_TRUE(ParseSettings(text, record, error, &extras));
    EXPECT_TRUE(pictures.header.empty() && pictures.watermark.empty());
}

}  // namespace
