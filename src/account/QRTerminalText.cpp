#include "account/QRTerminalText.h"

#include <memory>
#include <qrencode.h>

namespace quorlinth {

namespace {

constexpr int kQuietZone = 4;

} // namespace

std::optional<std::string> qrTerminalText(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeData(int(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0,
                          QR_ECLEVEL_M),
        &QRcode_free);
    if (!code) return std::nullopt;
    const int modules = code->width;
    const int side = modules + 2 * kQuietZone;
    auto dark = [&](int row, int column) {
        row -= kQuietZone;
        column -= kQuietZone;
        if (row < 0 || column < 0 || row >= modules || column >= modules) return false;
        return (code->data[row * modules + column] & 1) != 0;
    };
    std::string lines;
    for (int row = 0; row < side; row += 2) {
        for (int column = 0; column < side; ++column) {
            bool upperLight = !dark(row, column);
            bool lowerLight = row + 1 < side && !dark(row + 1, column);
            if (upperLight && lowerLight)
                lines += "█";
            else if (upperLight)
                lines += "▀";
            else if (lowerLight)
                lines += "▄";
            else
                lines += " ";
        }
        lines += '\n';
    }
    return lines;
}

} // namespace quorlinth
