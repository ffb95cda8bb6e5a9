#include "patcher/logo_image.h"

#include <algorithm>
#include <cmath>

namespace mLogo {

namespace {

uint32_t U32(std::string_view b, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

uint16_t U16(std::string_view b, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}

// Weights of the source cells [i, i+1) that the output cell [j*scale, (j+1)*scale) covers.
struct Span {
    int first = 0;
    std::vector<double> weights;
};

std::vector<Span> Spans(int source, int target) {
    std::vector<Span> spans(target);
    const double scale = static_cast<double>(source) / target;
    for (int j = 0; j < target; ++j) {
        const double lo = j * scale;
        const double hi = (j + 1) * scale;
        Span& s = spans[j];
        s.first = std::clamp(static_cast<int>(std::floor(lo)), 0, source - 1);
        const int last = std::clamp(static_cast<int>(std::ceil(hi)) - 1, s.first, source - 1);
        for (int i = s.first; i <= last; ++i)
            s.weights.push_back(std::max(0.0, std::min(hi, i + 1.0) - std::max(lo, static_cast<double>(i))));
    }
    return spans;
}

}  // namespace

std::optional<Image> ReadLogo(std::string_view bytes) {
    if (bytes.size() < 4)
        return std::nullopt;
    const int width = U16(bytes, 0);
    const int height = U16(bytes, 2);
    // Bounded so that no product below can overflow.
    if (width == 0 || height == 0 || width > 4096 || height > 4096)
        return std::nullopt;
    Image image{width, height, {}};
    const size_t count = static_cast<size_t>(width) * height;
    image.pixels.reserve(count);
    size_t at = 4;
    while (image.pixels.size() < count) {
        if (at >= bytes.size())
            return std::nullopt;
        const auto control = static_cast<unsigned char>(bytes[at++]);
        const bool repeated = control >= 128;
        const size_t pixels = repeated ? control - 126u : control + 1u;
        const size_t stored = repeated ? 1 : pixels;
        if (pixels > count - image.pixels.size() || bytes.size() - at < stored * 4)
            return std::nullopt;
        for (size_t i = 0; i < pixels; ++i)
            image.pixels.push_back(U32(bytes, at + (repeated ? 0 : i * 4)));
        at += stored * 4;
    }
    return image;
}

Image FitOver(const Image& image, int width, int height, uint32_t background) {
    Image out;
    if (width <= 0 || height <= 0)
        return out;
    out.width = width;
    out.height = height;
    out.pixels.assign(static_cast<size_t>(width) * height, 0xFF000000u | (background & 0xFFFFFFu));
    if (image.width <= 0 || image.height <= 0)
        return out;
    const double fit = std::min(static_cast<double>(width) / image.width, static_cast<double>(height) / image.height);
    const int w = std::max(1, static_cast<int>(std::lround(image.width * fit)));
    const int h = std::max(1, static_cast<int>(std::lround(image.height * fit)));
    const int left = (width - w) / 2;
    const int top = (height - h) / 2;
    const std::vector<Span> columns = Spans(image.width, w);
    const std::vector<Span> rows = Spans(image.height, h);
    const double bg[3] = {static_cast<double>((background >> 16) & 0xFF), static_cast<double>((background >> 8) & 0xFF),
                          static_cast<double>(background & 0xFF)};
    for (int y = 0; y < h; ++y) {
        const Span& ry = rows[y];
        for (int x = 0; x < w; ++x) {
            const Span& rx = columns[x];
            // Colours are averaged weighted by their alpha, so transparent pixels lend no colour to edges.
            double sum[4] = {0, 0, 0, 0};
            double area = 0;
            for (size_t j = 0; j < ry.weights.size(); ++j) {
                for (size_t i = 0; i < rx.weights.size(); ++i) {
                    const double weight = ry.weights[j] * rx.weights[i];
                    const uint32_t p = image.pixels[static_cast<size_t>(ry.first + j) * image.width + rx.first + i];
                    const double alpha = ((p >> 24) & 0xFF) / 255.0;
                    sum[0] += weight * alpha * ((p >> 16) & 0xFF);
                    sum[1] += weight * alpha * ((p >> 8) & 0xFF);
                    sum[2] += weight * alpha * (p & 0xFF);
                    sum[3] += weight * alpha;
                    area += weight;
                }
            }
            const double alpha = area > 0 ? sum[3] / area : 0;
            uint32_t pixel = 0xFF000000u;
            for (int k = 0; k < 3; ++k) {
                const double value = (area > 0 ? sum[k] / area : 0) + bg[k] * (1 - alpha);
                pixel |= static_cast<uint32_t>(std::clamp(std::lround(value), 0L, 255L)) << (16 - 8 * k);
            }
            out.pixels[static_cast<size_t>(top + y) * width + left + x] = pixel;
        }
    }
    return out;
}

}  // namespace mLogo
