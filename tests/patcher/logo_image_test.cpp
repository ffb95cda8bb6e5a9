#include "patcher/logo_image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using mLogo::FitOver;
using mLogo::Image;
using mLogo::ReadLogo;

std::string Le32(uint32_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
}

std::string Size(uint16_t width, uint16_t height) {
    return std::string{static_cast<char>(width & 0xFF), static_cast<char>(width >> 8), static_cast<char>(height & 0xFF),
                       static_cast<char>(height >> 8)};
}

TEST(LogoImage, ReadsRunsAndLiterals) {
    // 3x2: two literal pixels, then one pixel repeated four times across the row end.
    const auto image = ReadLogo(Size(3, 2) + '\x01' + Le32(0xFF000001) + Le32(0x80000002) + '\x82' + Le32(0x00000003));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixels, (std::vector<uint32_t>{0xFF000001, 0x80000002, 3, 3, 3, 3}));
}

TEST(LogoImage, RefusesWhatItCannotRead) {
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"too few pixels", Size(2, 2) + '\x02' + Le32(1) + Le32(2) + Le32(3)},
        {"a run past the last pixel", Size(2, 1) + '\x81' + Le32(1)},
        {"a packet cut short", Size(2, 1) + '\x01' + Le32(1) + "\x02"},
        {"zero height", Size(2, 0) + '\x81' + Le32(1)},
        {"huge size", Size(60000, 60000) + '\x81' + Le32(1)},
        {"short header", std::string(3, '\0')},
    };
    for (const Case& c : cases)
        EXPECT_FALSE(ReadLogo(c.bytes)) << c.what;
}

TEST(LogoImage, ReadsTheShippedLogo) {
    // Under Wine the test run names the sources by their Windows path.
    const char* root = std::getenv("OV_SOURCE_DIR");
    std::ifstream in(std::string(root ? root : OV_SOURCE_DIR) + "/src/patcher/logo.rle", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto image = ReadLogo(bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 96);
    EXPECT_EQ(image->pixels.front() >> 24, 0u);           // the corner is transparent
    EXPECT_EQ(image->pixels[48 * 96 + 48], 0xFFECFAF8u);  // the middle slab
}

TEST(LogoImage, FitsAndBlendsOverTheBackground) {
    // 2x1: an opaque red pixel and a transparent one, into a 4x4 box: 4x2 picture centred vertically.
    const Image source{2, 1, {0xFFFF0000, 0x0000FF00}};
    const Image out = FitOver(source, 4, 4, 0x102030);
    ASSERT_EQ(out.pixels.size(), 16u);
    const uint32_t bg = 0xFF102030;
    EXPECT_EQ(out.pixels[0], bg);               // row 0 is margin
    EXPECT_EQ(out.pixels[4 + 0], 0xFFFF0000u);  // red, fully covered
    EXPECT_EQ(out.pixels[4 + 3], bg);           // transparent lends no green
    EXPECT_EQ(out.pixels[12], bg);              // row 3 is margin
    // Halving averages: half-transparent white over black becomes mid grey.
    const Image half = FitOver(Image{2, 2, {0xFFFFFFFF, 0x00FFFFFF, 0xFFFFFFFF, 0x00FFFFFF}}, 1, 1, 0x000000);
    EXPECT_EQ(half.pixels, (std::vector<uint32_t>{0xFF808080}));
    // Upscaling keeps an opaque colour exact.
    const Image big = FitOver(Image{1, 1, {0xFF336699}}, 3, 3, 0);
    EXPECT_EQ(big.pixels, std::vector<uint32_t>(9, 0xFF336699));
}

}  // namespace
