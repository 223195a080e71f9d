#include <QApplication>
#include <gtest/gtest.h>

// Widget tests run on Qt's offscreen platform unless told otherwise (QT_QPA_PLATFORM),
// with a real widget tree and a real event loop.
int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
