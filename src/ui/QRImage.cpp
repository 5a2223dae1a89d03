#include "ui/QRImage.h"

#include <memory>
#include <qrencode.h>

namespace quorlinth {

namespace {
constexpr int kQuietZone = 4;
}

QImage qrImage(const std::string& text, int scale) {
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeData(int(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0,
                          QR_ECLEVEL_L),
        &QRcode_free);
    if (!code) return {};
    int modules = code->width + 2 * kQuietZone;
    QImage image(modules * scale, modules * scale, QImage::Format_Grayscale8);
    image.fill(255);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            if (!(code->data[y * code->width + x] & 1)) continue;
            int left = (x + kQuietZone) * scale, top = (y + kQuietZone) * scale;
            for (int row = 0; row < scale; ++row)
                std::fill_n(image.scanLine(top + row) + left, scale, uchar(0));
        }
    }
    return image;
}

} // namespace quorlinth
