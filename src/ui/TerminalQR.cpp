// Pure functions, called from any thread (the `pairing` command, the panel on the Qt GUI thread).
#include "ui/TerminalQR.hpp"

#include <qrencode.h>

#include <memory>

namespace tavlo {

std::optional<QRMatrix> encodeQR(const std::string& text) {
  // QRcode_encodeString8bit stops at a NUL byte; the data form encodes every byte.
  std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
      QRcode_encodeData(static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0,
                        QR_ECLEVEL_M),
      &QRcode_free);
  if (!code) return std::nullopt;
  QRMatrix m;
  m.size = code->width;
  m.dark.resize(static_cast<std::size_t>(m.size) * m.size);
  for (std::size_t i = 0; i < m.dark.size(); ++i) m.dark[i] = (code->data[i] & 1) != 0;
  return m;
}

std::string terminalQR(const std::string& text, bool ansiColours) {
  auto m = encodeQR(text);
  if (!m) return {};
  constexpr int quiet = 2;
  const int lo = -quiet, hi = m->size + quiet;
  std::string out;
  for (int y = lo; y < hi; y += 2) {
    if (ansiColours) out += "\x1b[40;97m";
    for (int x = lo; x < hi; ++x) {
      const bool top = !m->at(x, y), bottom = y + 1 >= hi || !m->at(x, y + 1);
      out += top ? (bottom ? "\u2588" : "\u2580") : (bottom ? "\u2584" : " ");
    }
    if (ansiColours) out += "\x1b[0m";
    out += '\n';
  }
  return out;
}

}  // namespace tavlo
