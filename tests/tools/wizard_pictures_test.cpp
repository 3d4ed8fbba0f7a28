#include "config/wizard_pictures.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "ui/page_manager.h"
#include "ui/picture_scale.h"

namespace {

void Put(std::string& bytes, std::size_t at, std::uint32_t value, int width = 4) {
    for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

std::uint32_t Get32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::size_t Stride(int width, int bits) { return (static_cast<std::size_t>(width) * bits + 31) / 32 * 4; }

struct Bmp {
    int width = 49;
    int height = 49;
    int bits = 24;
    std::uint32_t headerSize = 40;
    std::uint32_t compression = 0;
    std::uint32_t colours = 0;  // the table's entries (0: none for > 8 bits)
    std::size_t gap = 0;        // bytes between the table and the pixels
    int counted = -1;           // the header's colour count (-1: the table's entries)
};

// A BMP file whose table and pixel bytes count up, so that moved bytes show. `body` gets what
// the resource holds behind its header: the masks, the table and the pixels.
std::string MakeBmp(const Bmp& bmp, std::string* body = nullptr) {
    const bool masks = bmp.compression == 3;
    const std::size_t maskBytes = masks && bmp.headerSize == 40 ? 12 : 0;
    const std::size_t tableAt = 14 + bmp.headerSize + maskBytes, table = bmp.colours * 4;
    const std::size_t pixels = Stride(bmp.width, bmp.bits) * static_cast<std::size_t>(std::abs(bmp.height));
    const std::size_t offset = tableAt + table + bmp.gap;
    std::string file(offset + pixels, '\0');
    file[0] = 'B';
    file[1] = 'M';
    Put(file, 2, static_cast<std::uint32_t>(file.size()));
    Put(file, 10, static_cast<std::uint32_t>(offset));
    Put(file, 14, bmp.headerSize);
    Put(file, 18, static_cast<std::uint32_t>(bmp.width));
    Put(file, 22, static_cast<std::uint32_t>(bmp.height));
    Put(file, 26, 1, 2);
    Put(file, 28, static_cast<std::uint32_t>(bmp.bits), 2);
    Put(file, 30, bmp.compression);
    Put(file, 46, bmp.counted < 0 ? bmp.colours : static_cast<std::uint32_t>(bmp.counted));
    if (masks) {
        Put(file, 54, 0xFF0000);
        Put(file, 58, 0xFF00);
        Put(file, 62, 0xFF);
    }
    for (std::size_t i = 0; i < table; ++i) file[tableAt + i] = static_cast<char>(0xA0 + i);
    for (std::size_t i = 0; i < pixels; ++i) file[offset + i] = static_cast<char>(i * 7);
    if (body) *body = (masks ? file.substr(54, 12) : "") + file.substr(tableAt, table) + file.substr(offset);
    return file;
}

// The tool writes the pictures and the icon under the ids the client loads them by.
TEST(WizardPictures, ResourceIdsAreTheClientsOwn) {
    EXPECT_EQ(kHeaderBitmapId, RulesFor(WizardPicture::Header).resourceId);
    EXPECT_EQ(kHeaderBitmap2xId, RulesFor(WizardPicture::Header).doubleSizeId);
    EXPECT_EQ(kWatermarkBitmapId, RulesFor(WizardPicture::Watermark).resourceId);
    EXPECT_EQ(kWatermarkBitmap2xId, RulesFor(WizardPicture::Watermark).doubleSizeId);
    EXPECT_EQ(kAppIconId, kIconGroupId);
}

// Whatever the file's header, table, masks and gaps, the resource is a plain info header with
// the masks and the table right behind it, then the pixels.
TEST(WizardPictures, UsableBitmapsBecomeTheirResourceForm) {
    const PictureRules& watermark = RulesFor(WizardPicture::Watermark);
    const struct Case {
        const char* name;
        WizardPicture picture;
        Bmp bmp;
        std::uint32_t colours;
    } cases[] = {
        {"largest", WizardPicture::Watermark, {.width = watermark.maxWidth, .height = watermark.maxHeight}, 0},
        {"short table and a gap", WizardPicture::Watermark, {.width = 30, .height = 20, .bits = 8, .colours = 3, .gap = 10}, 3},
        {"masks after the header", WizardPicture::Header, {.width = 10, .height = 10, .bits = 16, .compression = 3}, 0},
        {"masks in a version 5 header", WizardPicture::Header,
         {.width = 10, .height = 10, .bits = 32, .headerSize = 124, .compression = 3}, 0},
        {"4 bits without a count", WizardPicture::Header, {.width = 5, .height = 5, .bits = 4, .colours = 16, .counted = 0}, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string body, resource;
        std::wstring error;
        const std::string file = MakeBmp(c.bmp, &body);
        ASSERT_TRUE(BitmapResourceFromFile(file, c.picture, resource, error)) << WideToUtf8(error);
        ASSERT_EQ(sizeof(BITMAPINFOHEADER) + body.size(), resource.size());
        EXPECT_EQ(sizeof(BITMAPINFOHEADER), Get32(resource, 0));
        EXPECT_EQ(Stride(c.bmp.width, c.bmp.bits) * c.bmp.height, Get32(resource, 20));
        EXPECT_EQ(c.colours, Get32(resource, 32));
        EXPECT_EQ(body, resource.substr(sizeof(BITMAPINFOHEADER)));
        int width = 0, height = 0;
        ASSERT_TRUE(BitmapResourceSize(resource, width, height));
        EXPECT_EQ(c.bmp.width, width);
        EXPECT_EQ(c.bmp.height, height);
    }
}

TEST(WizardPictures, FilesThatAreNotUsableBitmapsAreRefusedWithTheReason) {
    std::string truncated = MakeBmp({});
    truncated.pop_back();
    std::string wrongMagic = MakeBmp({});
    wrongMagic[0] = 'P';
    std::string twoPlanes = MakeBmp({});
    Put(twoPlanes, 26, 2, 2);
    std::string offsetOutside = MakeBmp({});
    Put(offsetOutside, 10, static_cast<std::uint32_t>(offsetOutside.size() + 1));
    const struct {
        std::string file;
        WizardPicture picture;
        std::string reason;  // what the message says after naming the picture
    } cases[] = {
        {wrongMagic, WizardPicture::Header, "is not a BMP file"},
        {MakeBmp({.width = 165, .height = 314}), WizardPicture::Watermark,
         "is 165 x 314 pixels; the watermark area holds at most 164 x 314"},
        {MakeBmp({.width = 49, .height = 50}), WizardPicture::Header,
         "is 49 x 50 pixels; the header band holds at most 49 x 49"},
        {MakeBmp({.headerSize = 12}), WizardPicture::Header, "has a header of 12 bytes"},
        {MakeBmp({.headerSize = 124}).substr(0, 60), WizardPicture::Header, "is cut short"},
        {MakeBmp({.height = -49}), WizardPicture::Header, "is stored top-down"},
        {MakeBmp({.width = 0}), WizardPicture::Header, "has no valid size"},
        {twoPlanes, WizardPicture::Header, "has no valid size"},
        {MakeBmp({.bits = 2}), WizardPicture::Header, "has 2 bits per pixel"},
        {MakeBmp({.bits = 8, .compression = 1, .colours = 2}), WizardPicture::Header, "is compressed"},
        {MakeBmp({.bits = 24, .compression = 3}), WizardPicture::Header, "is compressed"},
        {MakeBmp({.bits = 1, .colours = 3}), WizardPicture::Header, "has a colour table larger than its bits allow"},
        {offsetOutside, WizardPicture::Header, "has its colour table or pixels outside the file"},
        {MakeBmp({.width = 8, .height = 8, .bits = 8, .colours = 4, .counted = 200}), WizardPicture::Header,
         "has its colour table or pixels outside the file"},
        {truncated, WizardPicture::Header, "is cut short: its pixels are missing"},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.reason);
        std::string resource = "untouched";
        std::wstring error;
        EXPECT_FALSE(BitmapResourceFromFile(bad.file, bad.picture, resource, error));
        const std::string expected = "the " + WideToUtf8(RulesFor(bad.picture).name) + " " + bad.reason;
        EXPECT_EQ(expected, WideToUtf8(error).substr(0, expected.size()));
        EXPECT_EQ("untouched", resource);
    }
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
    Put(file, 2, 1, 2);
    Put(file, 4, static_cast<std::uint32_t>(images.size()), 2);
    for (std::size_t i = 0; i < images.size(); ++i) {
        const IcoImage& image = images[i];
        std::string bytes;
        if (image.png) {
            bytes = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + std::string(9, '\0');
            Put(bytes, 16, _byteswap_ulong(image.size));
            Put(bytes, 20, _byteswap_ulong(image.size));
        } else {
            const std::size_t pixels = static_cast<std::size_t>(image.size) * image.size * 4;
            bytes.assign(40 + pixels + Stride(image.size, 1) * image.size, '\0');
            Put(bytes, 0, 40);
            Put(bytes, 4, static_cast<std::uint32_t>(image.size));
            Put(bytes, 8, static_cast<std::uint32_t>(image.size * 2));
            Put(bytes, 12, 1, 2);
            Put(bytes, 14, 32, 2);
            for (std::size_t b = 40; b < bytes.size(); ++b) bytes[b] = static_cast<char>(b * 7 + i);
        }
        bytes.resize(bytes.size() - image.cut);
        const int listed = image.listed < 0 ? image.size : image.listed;
        const std::size_t at = 6 + 16 * i;
        file[at] = file[at + 1] = static_cast<char>(listed % 256);
        Put(file, at + 4, 1, 2);
        Put(file, at + 6, 32, 2);
        Put(file, at + 8, static_cast<std::uint32_t>(bytes.size()));
        Put(file, at + 12, static_cast<std::uint32_t>(file.size()));
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

    std::string outside = MakeIco({{}});
    Put(outside, 6 + 12, static_cast<std::uint32_t>(outside.size() - 10));
    std::string intoDirectory = MakeIco({{}});
    Put(intoDirectory, 6 + 12, 2);
    std::string cursor = MakeIco({{}});
    Put(cursor, 2, 2, 2);
    std::string garbage = MakeIco({{}});
    Put(garbage, 22, 0x11223344);
    const struct {
        std::string file;
        const char* message;
    } cases[] = {
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
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.message);
        images = {IconImage{"untouched", {}}};
        EXPECT_FALSE(IconImagesFromFile(bad.file, images, error));
        EXPECT_EQ(bad.message, WideToUtf8(error));
        ASSERT_EQ(1u, images.size());
        EXPECT_EQ("untouched", images[0].entry);
    }
}

TEST(WizardPictures, TheSheetShowsThePictureDrawnForItsScale) {
    const struct {
        int dpi;
        SIZE single, twice;
        PictureSource source;
        int width, height;
    } cases[] = {
        {96, {49, 49}, {98, 98}, PictureSource::Single, 49, 49},
        {120, {49, 49}, {98, 98}, PictureSource::Double, 61, 61},
        {144, {164, 314}, {328, 628}, PictureSource::Double, 246, 471},
        // A vendor's picture has no double-size one: it is scaled at every size.
        {192, {40, 30}, {0, 0}, PictureSource::Single, 80, 60},
        {96, {0, 0}, {98, 98}, PictureSource::Double, 49, 49},
        {0, {49, 49}, {98, 98}, PictureSource::Single, 49, 49},
        {192, {0, 0}, {0, 0}, PictureSource::None, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dpi << " dpi, 1x " << c.single.cx << ", 2x " << c.twice.cx);
        const PictureChoice choice = ChoosePicture(c.dpi, c.single, c.twice);
        EXPECT_EQ(c.source, choice.source);
        EXPECT_EQ(c.width, choice.width);
        EXPECT_EQ(c.height, choice.height);
    }
}

}  // namespace
