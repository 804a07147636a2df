#pragma once

#include <string_view>
#include <vector>

namespace tovra::qrencode {

// A QR code's modules, row after row, true for dark; `size` modules a side, without the quiet zone.
struct Matrix {
    int size = 0;
    std::vector<bool> dark;
};

// The text as 8-bit data at error correction level M, in the smallest version that holds it; an
// empty matrix for an empty text or one too long for any version.
Matrix encode(std::string_view text);

} // namespace tovra::qrencode
