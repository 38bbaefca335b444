#pragma once
// Called from any thread. QR codes for the pairing record: a module matrix for the panel and a text
// rendering for the terminal. Free of Qt so that the headless build has it.
#include <optional>
#include <string>
#include <vector>

namespace tavlo {

struct QRMatrix {
  int size = 0;              // modules per side, without quiet zone
  std::vector<bool> dark;    // row-major, size * size

  bool at(int x, int y) const { return x >= 0 && y >= 0 && x < size && y < size && dark[y * size + x]; }
};

// Byte-mode QR code at error correction level M. None when the text is too long.
std::optional<QRMatrix> encodeQR(const std::string& text);

// The QR code drawn with half-block characters, two module rows per line and a
// quiet zone of two modules. Light modules are drawn with the glyphs, which
// suits a light-on-dark terminal; with `ansiColours` the lines carry their own
// white-on-black colours so any terminal shows a scannable code.
// Returns "" when the text is too long for a QR code.
std::string terminalQR(const std::string& text, bool ansiColours = false);

}  // namespace tavlo
