#include "platform/qrencode/qr_matrix.h"

#include <qrencode.h>

#include <memory>

namespace tovra::qrencode {

Matrix encode(std::string_view text)
{
    if (text.empty()) {
        return {};
    }
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeData(static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()),
                          0, QR_ECLEVEL_M),
        &QRcode_free);
    if (!code) {
        return {};
    }
    Matrix matrix{code->width, {}};
    const std::size_t modules = static_cast<std::size_t>(code->width) * code->width;
    matrix.dark.reserve(modules);
    for (std::size_t i = 0; i < modules; ++i) {
        matrix.dark.push_back((code->data[i] & 1) != 0); // the lowest bit: dark
    }
    return matrix;
}

} // namespace tovra::qrencode
