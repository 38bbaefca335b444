#include "ui/TerminalQR.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace tavlo {
namespace {

// Read the drawing back (two module rows per line, light modules drawn with the
// glyphs, a quiet zone of two) and compare it with the matrix.
TEST(TerminalQR, DrawsEveryModuleEncodesEveryByteRefusesWhatDoesNotFit) {
  const std::string record = R"({"mac.hostname":"studio","mac.lan_ip":"192.168.1.20","mac.port":18765})";
  auto m = encodeQR(record);
  ASSERT_TRUE(m && m->size % 4 == 1);  // 21 + 4 * (version - 1)
  std::vector<std::vector<bool>> light;
  std::istringstream in(terminalQR(record));
  for (std::string line; std::getline(in, line);) {
    light.emplace_back(), light.emplace_back();
    for (std::size_t i = 0; i < line.size(); i += line[i] == ' ' ? 1 : 3) {
      const std::string glyph = line[i] == ' ' ? " " : line.substr(i, 3);
      light[light.size() - 2].push_back(glyph == "\u2588" || glyph == "\u2580");
      light.back().push_back(glyph == "\u2588" || glyph == "\u2584");
    }
  }
  const int side = m->size + 4;
  ASSERT_GE(light.size(), static_cast<std::size_t>(side));
  for (int y = 0; y < side; ++y) {
    ASSERT_EQ(light[y].size(), static_cast<std::size_t>(side)) << "row " << y;
    for (int x = 0; x < side; ++x) EXPECT_EQ(light[y][x], !m->at(x - 2, y - 2)) << x << "," << y;
  }
  auto a = encodeQR(std::string("ab\0cd", 5)), b = encodeQR("ab");  // a NUL byte must not end the data early
  EXPECT_TRUE(a && b && a->dark != b->dark);
  EXPECT_TRUE(!encodeQR(std::string(4000, 'x')) && terminalQR(std::string(4000, 'x')).empty() && !encodeQR(""));
}

}  // namespace
}  // namespace tavlo
