// Entry of the test programs that need a QApplication: no display (the
// offscreen platform) and the page fonts mapped to the installed IPA fonts.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "view/view.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  InstallFontSubstitutions();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
