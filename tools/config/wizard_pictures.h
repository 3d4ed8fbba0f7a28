// A vendor's own pictures for the wizard: the header band picture (bitmap 205) and the
// watermark of the outer pages (bitmap 208), and the application icon (icon group 1), checked
// and turned into resource form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class WizardPicture { Header, Watermark };

struct PictureRules {
    int resourceId;
    int doubleSizeId;  // the client's own picture at twice the size, which a vendor's replaces
    int maxWidth;
    int maxHeight;
    const wchar_t* name;  // as the settings file and the messages call it
    const wchar_t* area;  // where the wizard shows it
};
const PictureRules& RulesFor(WizardPicture picture);

// Checks a BMP file's bytes for `picture` and gives the bitmap resource made from it: a
// BITMAPINFOHEADER with the colour masks and table right behind it, then the pixels. False
// with a message naming the rule that the file breaks.
bool BitmapResourceFromFile(const std::string& file, WizardPicture picture, std::string& resource,
                            std::wstring& error);

// Width and height of a bitmap resource; false when the bytes are not one.
bool BitmapResourceSize(const std::string& resource, int& width, int& height);

// The icon group the client shows (its title bar, Explorer).
inline constexpr int kIconGroupId = 1;

// An icon's images in resource form, in the file's order.
struct IconImage {
    std::string entry;  // the directory entry without its last field: size, colours, planes, bits, bytes
    std::string bytes;  // the image: a bitmap (colour and mask) or a PNG file
    int width = 0;
    int height = 0;
};

// Checks an ICO file's bytes and gives its images; false with a message naming the rule that
// the file breaks.
bool IconImagesFromFile(const std::string& file, std::vector<IconImage>& images, std::wstring& error);

// The icon group resource for `images`, each stored as the icon resource of the same index in
// `ids`.
std::string IconGroupResource(const std::vector<IconImage>& images, const std::vector<int>& ids);

// The icon resource ids an icon group resource names; false when the bytes are not one.
bool IconGroupIds(const std::string& group, std::vector<int>& ids);
