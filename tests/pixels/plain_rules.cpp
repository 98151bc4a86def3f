#include "tests/pixels/plain_rules.h"

#include <algorithm>

namespace plain_rules {
namespace {

// A buffer seen through bounds checks; the first access outside marks the run as failed.
template <typename Buffer>
class Checked {
public:
    Checked(Buffer& bytes, bool& outside) : bytes_(bytes), outside_(outside) {}
    std::uint8_t Get(std::uint64_t index) const {
        if (index >= bytes_.size()) {
            outside_ = true;
            return 0;
        }
        return bytes_[index];
    }
    void Set(std::uint64_t index, std::uint8_t value) {
        if (index >= bytes_.size()) {
            outside_ = true;
            return;
        }
        bytes_[index] = value;
    }

private:
    Buffer& bytes_;
    bool& outside_;
};

}  // namespace

std::uint32_t CropHeight(std::uint32_t w, std::uint32_t h, std::uint32_t rw, std::uint32_t rh) {
    const std::uint64_t fit = (std::uint64_t{w} * rh + rw / 2) / rw;
    if (fit != 0 && fit < h && h - fit <= 16) {
        return static_cast<std::uint32_t>(fit & ~std::uint64_t{1});
    }
    return h;
}

bool CopyNv12Cropped(const Bytes& source, std::uint32_t w, std::uint32_t h, Bytes& destination,
                     std::uint32_t rw, std::uint32_t rh) {
    if (w == 0 || h == 0 || rw == 0 || rh == 0 || w != rw) {
        return false;
    }
    if (CropHeight(w, h, rw, rh) != rh) {
        return false;
    }
    const std::uint64_t luma = std::uint64_t{rw} * rh;
    if (destination.size() < luma * 3 / 2) {
        return false;
    }
    if (h != rh) {
        for (std::uint64_t i = 0; i < luma; ++i) {
            destination[i] = source[i];
        }
        for (std::uint64_t i = 0; i < luma / 2; ++i) {
            destination[luma + i] = source[std::uint64_t{w} * h + i];
        }
    } else {
        for (std::uint64_t i = 0; i < luma * 3 / 2; ++i) {
            destination[i] = source[i];
        }
    }
    return true;
}

bool ScaleNv12Letterboxed(const Bytes& source, std::uint32_t w, std::uint32_t h, std::uint32_t c,
                          Bytes& destination, std::uint32_t rw, std::uint32_t rh) {
    if (w == 0 || h == 0 || c == 0 || rw == 0 || rh == 0 || c > h) {
        return true;  // nothing written, nothing outside
    }
    Bytes out = destination;
    bool outside = false;
    const Checked<const Bytes> in(source, outside);
    Checked<Bytes> dst(out, outside);

    const std::uint64_t area = std::uint64_t{rw} * rh;
    for (std::uint64_t i = 0; i < area; ++i) {
        dst.Set(i, 16);
    }
    for (std::uint64_t i = 0; i < area / 2; ++i) {
        dst.Set(area + i, 128);
    }
    std::uint64_t fh = std::uint64_t{rw} * c / w;
    std::uint64_t fw = rw;
    if (fh > rh) {
        fw = std::uint64_t{rh} * w / c;
        fh = rh;
    }
    fw = std::max<std::uint64_t>(fw & ~std::uint64_t{1}, 2);
    fh = std::max<std::uint64_t>(fh & ~std::uint64_t{1}, 2);
    // 32-bit subtractions, as the rules have them.
    const std::uint32_t ox = ((rw - static_cast<std::uint32_t>(fw)) >> 1) & 0x7FFFFFFEu;
    const std::uint32_t oy = ((rh - static_cast<std::uint32_t>(fh)) >> 1) & 0x7FFFFFFEu;

    for (std::uint64_t y = 0; y < fh; ++y) {
        const std::uint64_t sy = y * c / fh;
        for (std::uint64_t x = 0; x < fw; ++x) {
            dst.Set((y + oy) * rw + ox + x, in.Get(x * w / fw + sy * w));
        }
    }
    const std::uint64_t fc = fh / 2;
    const std::uint64_t cc = c / 2;
    const std::uint64_t chroma = std::uint64_t{w} * h;
    for (std::uint64_t y = 0; y < fc; ++y) {
        const std::uint64_t sy = y * cc / fc;
        const std::uint64_t row = area + ox + std::uint64_t{rw} * (oy / 2 + y);
        for (std::uint64_t x = 0; x < fw; x += 2) {
            const std::uint64_t sx = (x * w / fw) & ~std::uint64_t{1};
            dst.Set(row + x, in.Get(chroma + sx + w * sy));
            dst.Set(row + x + 1, in.Get(chroma + sx + w * sy + 1));
        }
    }
    if (outside) {
        return false;
    }
    destination = out;
    return true;
}

bool ConvertNv12ToYuy2(const Bytes& source, Bytes& destination, std::uint32_t w,
                       std::uint32_t h) {
    Bytes out = destination;
    bool outside = false;
    const Checked<const Bytes> in(source, outside);
    Checked<Bytes> dst(out, outside);
    const std::uint64_t chroma = std::uint64_t{w} * h;
    for (std::uint64_t y = 0; y < h; ++y) {
        for (std::uint64_t x = 0; x < w; x += 2) {
            const std::uint64_t o = y * 2 * w + 2 * x;
            const std::uint64_t c = chroma + (y / 2) * w;
            dst.Set(o, in.Get(y * w + x));
            dst.Set(o + 1, in.Get(c + x));
            dst.Set(o + 2, in.Get(y * w + x + 1));
            dst.Set(o + 3, in.Get(c + x + 1));
        }
    }
    if (outside) {
        return false;
    }
    destination = out;
    return true;
}

Bytes FallbackPattern(std::uint64_t counter) {
    Bytes picture(640 * 360 * 3 / 2);
    for (std::uint64_t r = 0; r < 360; ++r) {
        for (std::uint64_t c = 0; c < 640; ++c) {
            picture[r * 640 + c] = static_cast<std::uint8_t>((4 * counter + r + c) % 256);
        }
    }
    for (std::uint64_t r = 0; r < 180; ++r) {
        for (std::uint64_t c = 0; c < 640; c += 2) {
            const bool parity = ((c / 80) + (r / 40)) % 2 == 1;
            picture[230400 + r * 640 + c] = parity ? 90 : 170;
            picture[230400 + r * 640 + c + 1] = parity ? 240 : 70;
        }
    }
    return picture;
}

}  // namespace plain_rules
