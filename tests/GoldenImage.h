// Compares a picture drawn by our own rasterisers with a stored PNG, pixel for pixel.
//   EXPECT_TRUE(MatchesGolden(image, "controls/golden/slider_focused.png"));
// The path is relative to tests/. On a mismatch the actual picture is written beside the
// expected one as NAME.actual.png for a reviewer to compare. With STRATAEQ_UPDATE_GOLDEN=1
// the stored picture is (re)written instead and the check passes.
#pragma once

#include <QImage>
#include <QString>
#include <gtest/gtest.h>

inline testing::AssertionResult MatchesGolden(const QImage& actual, const QString& relativePath) {
  const QString expectedPath = QStringLiteral(STRATAEQ_TESTS_DIR "/") + relativePath;
  const QString actualPath = QString(expectedPath).replace(QLatin1String(".png"), QLatin1String(".actual.png"));
  // Compare in one fixed format, so an indexed picture and its stored RGB copy match.
  const QImage got = actual.convertToFormat(QImage::Format_ARGB32);
  if (qEnvironmentVariableIntValue("STRATAEQ_UPDATE_GOLDEN") == 1) {
    if (!got.save(expectedPath)) return testing::AssertionFailure() << "cannot write " << expectedPath.toStdString();
    return testing::AssertionSuccess();
  }
  QImage expected;
  if (!expected.load(expectedPath)) {
    got.save(actualPath);
    return testing::AssertionFailure() << "no stored picture " << expectedPath.toStdString()
                                       << " (actual written to " << actualPath.toStdString()
                                       << "; STRATAEQ_UPDATE_GOLDEN=1 stores it)";
  }
  expected = expected.convertToFormat(QImage::Format_ARGB32);
  if (expected.size() != got.size()) {
    got.save(actualPath);
    return testing::AssertionFailure() << "size " << got.width() << "x" << got.height() << ", expected "
                                       << expected.width() << "x" << expected.height() << "; actual written to "
                                       << actualPath.toStdString();
  }
  int differing = 0, firstX = -1, firstY = -1;
  for (int y = 0; y < got.height(); ++y) {
    const auto* a = reinterpret_cast<const QRgb*>(got.constScanLine(y));
    const auto* e = reinterpret_cast<const QRgb*>(expected.constScanLine(y));
    for (int x = 0; x < got.width(); ++x) {
      if (a[x] == e[x]) continue;
      if (differing++ == 0) firstX = x, firstY = y;
    }
  }
  if (differing == 0) return testing::AssertionSuccess();
  got.save(actualPath);
  return testing::AssertionFailure() << differing << " pixels differ, first at (" << firstX << "," << firstY
                                     << "); actual written to " << actualPath.toStdString();
}
