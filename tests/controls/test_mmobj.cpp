#include <QFontInfo>
#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

#include "controls/MMObj.h"

namespace strataeq {
namespace {

TEST(Colors, NamesResolveThroughOneTableAndSystemColoursUseTheClassicScheme) {
  EXPECT_EQ(ColorFromName("clLime"), clLime);
  EXPECT_EQ(ColorFromName("clBtnFace"), clBtnFace);
  EXPECT_FALSE(ColorFromName("clNoSuchColour").has_value());
  EXPECT_EQ(ColorName(clBtnHighlight), "clBtnHighlight");
  EXPECT_EQ(ColorName(0x123456), "$00123456");
  EXPECT_EQ(ToQColor(clLime), QColor(0, 255, 0));
  EXPECT_EQ(ToQColor(clRed), QColor(255, 0, 0));  // 0x00BBGGRR, not 0xRRGGBB
  EXPECT_EQ(ToQColor(clBtnFace), QColor(192, 192, 192));
  EXPECT_EQ(ToQColor(clBtnShadow), QColor(128, 128, 128));
  EXPECT_EQ(ToQColor(clBtnHighlight), QColor(255, 255, 255));
  EXPECT_EQ(FromQColor(QColor(1, 2, 3)), RGBColor(1, 2, 3));
}

TEST(Fonts, DesignFamiliesMapToInstalledFontsAtTheirPixelHeight) {
  struct Row {
    const char* design;
    const char* installed;
  };
  for (const Row& row : {Row{"MS Sans Serif", "Liberation Sans"}, Row{"Arial", "Liberation Sans"},
                         Row{"Times New Roman", "Liberation Serif"}, Row{"Small Fonts", "DejaVu Sans"}}) {
    const QFont font = MMFont(row.design, -19, TFontStyle::fsBold | TFontStyle::fsItalic);
    const QFontInfo info(font);
    EXPECT_TRUE(info.family().startsWith(QLatin1String(row.installed))) << row.design << " -> "
                                                                          << info.family().toStdString();
    EXPECT_EQ(info.pixelSize(), 19) << row.design;
    EXPECT_TRUE(info.bold());
    EXPECT_TRUE(info.italic());
  }
  // A positive height is the whole cell, so the characters come out smaller.
  const QFont cell = MMFont("Arial", 20);
  EXPECT_LT(cell.pixelSize(), 20);
  EXPECT_LE(QFontMetrics(cell).height(), 20);
}

TEST(Bevel, TotalWidthCountsOnlyTheRingsThatAreDrawn) {
  TMMBevel bevel;
  EXPECT_EQ(bevel.TotalWidth(), 1);  // lowered outer ring of 1
  bevel.SetBevelOuter(TPanelBevel::bvRaised);
  bevel.SetBevelOuterWidth(2);
  EXPECT_EQ(bevel.TotalWidth(), 2);  // the window's panels
  bevel.SetBevelInnerWidth(0);       // at least 1
  EXPECT_EQ(bevel.BevelInnerWidth(), 1);
  bevel.SetBevelInner(TPanelBevel::bvLowered);
  bevel.SetBorderWidth(3);
  bevel.SetBorderSpace(2);
  bevel.SetBorderStyle(TBorderStyle::bsSingle);
  EXPECT_EQ(bevel.TotalWidth(), 2 + 1 + 3 + 2 + 1);
  bevel.SetBevelOuter(TPanelBevel::bvNone);
  EXPECT_EQ(bevel.TotalWidth(), 1 + 3 + 2 + 1);
  bevel.SetBorderWidth(-4);
  EXPECT_EQ(bevel.BorderWidth(), 0);
}

TEST(Bevel, OwnerHearsEachChangeOnceAndAnAssignmentOnce) {
  TMMBevel bevel, other;
  int notified = 0;
  bevel.OnChange = [&](TObject* sender) {
    EXPECT_EQ(sender, &bevel);
    ++notified;
  };
  bevel.SetBorderWidth(0);  // unchanged
  EXPECT_EQ(notified, 0);
  bevel.SetBorderWidth(4);
  EXPECT_EQ(notified, 1);
  other.SetBevelOuter(TPanelBevel::bvRaised);
  other.SetBevelOuterWidth(3);
  other.SetBorderColor(clRed);
  bevel.Assign(other);
  EXPECT_EQ(notified, 2);
  EXPECT_EQ(bevel.BevelOuterWidth(), 3);
  EXPECT_EQ(bevel.BorderWidth(), 0);
  EXPECT_EQ(bevel.BorderColor(), clRed);
  bevel.BeginUpdate();
  bevel.BeginUpdate();
  bevel.SetBorderSpace(1);
  bevel.EndUpdate();
  EXPECT_EQ(notified, 2);  // still inside the outer update
  bevel.EndUpdate();
  EXPECT_EQ(notified, 3);
}

TEST(Bevel, PaintsRingsFromTheOutsideInAndReturnsTheInside) {
  TMMBevel bevel;
  bevel.SetBorderStyle(TBorderStyle::bsSingle);
  bevel.SetBevelOuter(TPanelBevel::bvRaised);
  bevel.SetBorderWidth(1);
  bevel.SetBorderColor(clRed);
  bevel.SetBevelInner(TPanelBevel::bvLowered);
  bevel.SetBorderSpace(1);
  QImage image(12, 12, QImage::Format_RGB32);
  image.fill(Qt::blue);
  QPainter painter(&image);
  const QRect inner = bevel.PaintBevel(painter, image.rect(), true);
  painter.end();
  EXPECT_EQ(inner, QRect(5, 5, 2, 2));
  auto at = [&](int x, int y) { return QColor(image.pixel(x, y)); };
  EXPECT_EQ(at(0, 0), QColor(0, 0, 0));          // single border
  EXPECT_EQ(at(1, 1), QColor(255, 255, 255));    // raised: light top-left
  EXPECT_EQ(at(10, 1), QColor(128, 128, 128));   // top-right corner belongs to the shadow
  EXPECT_EQ(at(1, 10), QColor(255, 255, 255));   // bottom-left corner belongs to the light
  EXPECT_EQ(at(10, 10), QColor(128, 128, 128));
  EXPECT_EQ(at(2, 2), QColor(255, 0, 0));        // filled border
  EXPECT_EQ(at(3, 3), QColor(128, 128, 128));    // lowered inner ring: shadow top-left
  EXPECT_EQ(at(8, 6), QColor(255, 255, 255));
  EXPECT_EQ(at(4, 4), QColor(0, 0, 0));          // border space
  EXPECT_EQ(at(5, 5), QColor(0, 0, 255));        // untouched inside

  image.fill(Qt::blue);
  QPainter again(&image);
  bevel.PaintBevel(again, image.rect(), false);
  again.end();
  EXPECT_EQ(QColor(image.pixel(2, 2)), QColor(0, 0, 255));  // border only skipped
}

class LayoutCounter : public TMMGraphicControl {
 public:
  int layouts = 0;
  QRect area;

 protected:
  void BevelLayout() override {
    ++layouts;
    area = BevelClientRect();
  }
};

TEST(GraphicControl, ABevelChangeReLaysOutAndTheDefaultPaintFillsInsideTheBevel) {
  QWidget parent;
  parent.resize(40, 30);
  parent.setStyleSheet(QStringLiteral("background: rgb(0, 0, 255)"));
  LayoutCounter control;
  control.setParent(&parent);
  control.setGeometry(5, 5, 20, 10);
  control.SetColor(clLime);
  TMMBevel raised;
  raised.SetBevelOuter(TPanelBevel::bvRaised);
  raised.SetBevelOuterWidth(2);
  control.SetBevel(raised);
  EXPECT_EQ(control.layouts, 1);
  EXPECT_EQ(control.TotalBevelWidth(), 2);
  EXPECT_EQ(control.area, QRect(2, 2, 16, 6));
  const QImage image = parent.grab().toImage();
  EXPECT_EQ(QColor(image.pixel(0, 0)), QColor(0, 0, 255));      // parent around it
  EXPECT_EQ(QColor(image.pixel(5, 5)), QColor(255, 255, 255));   // raised ring
  EXPECT_EQ(QColor(image.pixel(24, 14)), QColor(128, 128, 128));
  EXPECT_EQ(QColor(image.pixel(7, 7)), QColor(0, 255, 0));       // Color inside
}

}  // namespace
}  // namespace strataeq
