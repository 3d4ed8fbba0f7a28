// A vendor's own pictures for the wizard: the header band picture (bitmap 205) and the
// watermark of the outer pages (bitmap 208), checked and turned into resource form.
#pragma once

#include <cstdint>
#include <string>

enum class WizardPicture { Header, Watermark };

struct PictureRules {
    int resourceId;
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
