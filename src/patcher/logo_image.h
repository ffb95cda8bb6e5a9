// The logo is stored once, large, with an alpha channel; the window scales it to the size its layout gives
// the picture at the screen's DPI and lays it over the window's own background colour.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace mLogo {

// Pixels as 0xAARRGGBB, rows top first.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
};

// The run-length coded logo that scripts/make_logo.py writes (its header says how). Nothing when the
// bytes end before every pixel is given or a packet gives more pixels than the image holds.
std::optional<Image> ReadLogo(std::string_view bytes);

// `image` fitted into a `width` x `height` box (aspect kept, centred), each output pixel the area-weighted
// average of the source pixels it covers, laid over `background` (0xRRGGBB). The result is opaque.
Image FitOver(const Image& image, int width, int height, uint32_t background);

}  // namespace mLogo
