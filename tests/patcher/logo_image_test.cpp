#include "patcher/logo_image.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using mLogo::FitOver;
using mLogo::Image;
using mLogo::ReadDib32;

std::string Le32(uint32_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
}

std::string Dib(int32_t width, int32_t height, uint16_t bits, const std::vector<uint32_t>& rowsAsStored) {
    std::string b = Le32(40) + Le32(static_cast<uint32_t>(width)) + Le32(static_cast<uint32_t>(height));
    b += std::string{1, 0, static_cast<char>(bits & 0xFF), static_cast<char>(bits >> 8)};
    b += Le32(0) + Le32(0) + Le32(0) + Le32(0) + Le32(0) + Le32(0);
    for (uint32_t p : rowsAsStored)
        b += Le32(p);
    return b;
}

TEST(LogoImage, ReadsBothRowOrders) {
    // Bottom-up (positive height): the first stored row is the bottom one.
    const auto up = ReadDib32(Dib(2, 2, 32, {0xFF000001, 0xFF000002, 0xFF000003, 0xFF000004}));
    ASSERT_TRUE(up);
    EXPECT_EQ(up->pixels, (std::vector<uint32_t>{0xFF000003, 0xFF000004, 0xFF000001, 0xFF000002}));
    const auto down = ReadDib32(Dib(2, -2, 32, {0xFF000001, 0xFF000002, 0xFF000003, 0xFF000004}));
    ASSERT_TRUE(down);
    EXPECT_EQ(down->pixels, (std::vector<uint32_t>{0xFF000001, 0xFF000002, 0xFF000003, 0xFF000004}));
}

TEST(LogoImage, RefusesWhatItCannotRead) {
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"24 bits", Dib(1, 1, 24, {0})},         {"too few pixels", Dib(2, 2, 32, {0, 0, 0})},
        {"zero height", Dib(2, 0, 32, {})},      {"huge size", Dib(100000, 100000, 32, {})},
        {"short header", std::string(20, '\0')},
    };
    for (const Case& c : cases)
        EXPECT_FALSE(ReadDib32(c.bytes)) << c.what;
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
