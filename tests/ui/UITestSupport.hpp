#pragma once
// An offscreen QApplication shared by the widget tests of one program.
#include <QApplication>
#include <gtest/gtest.h>

namespace tavlo::test {

inline QApplication& offscreenApp() {
  static int argc = 1;
  static char name[] = "tavlo-ui-test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *app;
}

}  // namespace tavlo::test
