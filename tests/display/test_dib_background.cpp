// The drawing surface's background picture, palettes, animated colours and the outline
// primitives.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "GoldenImage.h"
#include "display/MMDIB.h"
#include "display/MMDIBCv.h"

namespace strataeq {
namespace {

// 3 x 2 picture of six distinct colours, read left to right, top to bottom.
const QRgb kPictureColours[6] = {qRgb(200, 40, 40), qRgb(40, 200, 40), qRgb(40, 40, 200),
                                 qRgb(220, 220, 60), qRgb(60, 220, 220), qRgb(120, 60, 160)};

QImage Picture() {
  QImage p(3, 2, QImage::Format_RGB32);
  for (int i = 0; i < 6; ++i) p.setPixel(i % 3, i / 3, kPictureColours[i]);
  return p;
}

template <class F>
std::string ErrorText(F f) {
  try {
    f();
  } catch (const EMMDIBError& e) {
    return e.what();
  }
  return "no error";
}

// Left half: the picture stretched; right half: the background of a tiled twin copied
// in. Over it the outline primitives, an inverting cross, inverting columns and a byte
// column.
TEST(DIBCanvasGolden, BackgroundStretchedAndTiledWithOutlines) {
  TMMDIBCanvas stretched, tiled;
  for (TMMDIBCanvas* c : {&stretched, &tiled}) {
    c->SetSize(96, 64);
    c->SetBackGroundBitmap(Picture());
  }
  tiled.SetStretchBackGround(false);
  ASSERT_EQ(tiled.Image().size(), QSize(96, 64));
  ASSERT_EQ(stretched.Image().size(), QSize(96, 64));
  ASSERT_EQ(stretched.Palette(), tiled.Palette()) << "one picture, one palette";

  stretched.BeginDraw();
  stretched.CopyBackground(0, 0, stretched, 0, 0, 48, 64);
  stretched.CopyBackground(48, 0, tiled, 48, 0, 48, 64);
  const QImage& img = stretched.Image();
  // Stretched: each picture pixel covers 32 x 32; tiled: 3 x 2 from the top left.
  EXPECT_EQ(img.pixel(31, 31), kPictureColours[0]);
  EXPECT_EQ(img.pixel(32, 32), kPictureColours[4]);
  EXPECT_EQ(img.pixel(48, 0), kPictureColours[0]);
  EXPECT_EQ(img.pixel(49, 1), kPictureColours[4]);
  EXPECT_EQ(img.pixel(95, 63), kPictureColours[5]);

  // Two inverting passes restore the picture exactly.
  const QImage before = img.copy();
  stretched.SetColor(qRgb(255, 0, 0));
  stretched.InvertLine(0, 0, 95, 63);
  EXPECT_NE(img, before);
  stretched.InvertLine(0, 0, 95, 63);
  EXPECT_EQ(img, before);

  stretched.SetColor(qRgb(255, 255, 0));
  stretched.Ellipse(24, 32, 20, 14);
  stretched.SetColor(qRgb(255, 255, 255));
  stretched.Arc(72, 32, 18, 18, 0, 90);
  stretched.Pie(72, 32, 12, 12, 180, 300);
  EXPECT_EQ(img.pixel(44, 32), qRgb(255, 255, 0)) << "the ellipse at 0 degrees";
  EXPECT_EQ(img.pixel(24, 18), qRgb(255, 255, 0)) << "the ellipse at 90 degrees";
  EXPECT_EQ(img.pixel(90, 32), qRgb(255, 255, 255)) << "the arc starts at three o'clock";
  EXPECT_EQ(img.pixel(72, 14), qRgb(255, 255, 255)) << "and ends at twelve";
  EXPECT_NE(img.pixel(54, 32), qRgb(255, 255, 255)) << "nothing at nine o'clock";
  EXPECT_EQ(img.pixel(66, 32), qRgb(255, 255, 255)) << "the pie's first radius";

  stretched.SetColor(qRgb(0, 0, 0));
  stretched.InvertLine(95, 0, 0, 63);
  stretched.SetColor(qRgb(255, 0, 0));
  stretched.InvertVLine(47, -10, 100);
  stretched.InvertVLine(48, 10, 53, false);
  std::vector<std::uint8_t> column(80);
  for (std::size_t i = 0; i < column.size(); ++i) column[i] = static_cast<std::uint8_t>(i % 20 < 10 ? i % 20 : 236 + i % 20);
  stretched.ByteColumn(2, -8, column.data(), static_cast<int>(column.size()));  // clipped at both ends
  stretched.EndDraw();
  EXPECT_EQ(img.pixelIndex(2, 0), 8);
  EXPECT_EQ(img.pixelIndex(2, 63), column[71]);
  EXPECT_TRUE(MatchesGolden(img, "display/golden/dib_background_outlines.png"));
}

TEST(DIBCanvasPalette, PictureCustomAndAnimatedEntries) {
  const std::array<QRgb, 256> plain = TMMDIBCanvas().Palette();
  TMMDIBCanvas c;
  c.SetSize(8, 8);

  // A custom palette fills 10..246; more than 256 entries, or none, clears it.
  std::vector<QRgb> custom(256);
  for (int i = 0; i < 256; ++i) custom[i] = qRgb(i, 255 - i, 7);
  c.SetCustomPalette(custom);
  c.Image();
  for (int i = 10; i <= 246; ++i) ASSERT_EQ(c.Palette()[i], custom[i - 10]) << i;
  EXPECT_EQ(c.Palette()[247], plain[247]);
  EXPECT_EQ(c.Palette()[c.MapColor(custom[100])], custom[100]);
  EXPECT_EQ(c.Image().color(110), custom[100]) << "the colour table follows the palette";
  custom.push_back(qRgb(1, 1, 1));
  c.SetCustomPalette(custom);
  c.Image();
  EXPECT_EQ(c.Palette(), plain);
  EXPECT_TRUE(c.CustomPalette().empty());

  // A picture's colours take 10..244 and win over a custom palette.
  custom.resize(20);
  c.SetCustomPalette(custom);
  c.SetBackGroundBitmap(Picture());
  c.Image();
  for (int i = 0; i < 6; ++i) EXPECT_EQ(c.Palette()[10 + i], kPictureColours[i]);
  EXPECT_EQ(c.Palette()[16], qRgb(0, 0, 0));
  EXPECT_EQ(c.Palette()[246], plain[246]);
  // An indexed picture brings its own table; a picture of too many colours a cube.
  QImage indexed(2, 2, QImage::Format_Indexed8);
  indexed.setColorTable({qRgb(9, 8, 7), qRgb(6, 5, 4)});
  indexed.fill(1);
  c.SetBackGroundBitmap(indexed);
  c.Image();
  EXPECT_EQ(c.Palette()[10], qRgb(9, 8, 7));
  EXPECT_EQ(c.Palette()[11], qRgb(6, 5, 4));
  EXPECT_EQ(c.BackgroundImage().pixelIndex(7, 7), 11);
  QImage ramp(300, 1, QImage::Format_RGB32);
  for (int x = 0; x < 300; ++x) ramp.setPixel(x, 0, qRgb(x % 256, x / 2, 3));
  c.SetBackGroundBitmap(ramp);
  c.Image();
  EXPECT_EQ(c.Palette()[10 + 215], qRgb(255, 255, 255));
  EXPECT_EQ(c.Palette()[10 + 43], qRgb(51, 51, 51));
  c.SetBackGroundBitmap(QImage());
  c.Image();
  EXPECT_TRUE(c.BackgroundImage().isNull());
  EXPECT_EQ(c.Palette()[10], custom[0]) << "without the picture the custom palette returns";

  // Animated entries: the top of the free range, each a colour found nowhere else.
  EXPECT_EQ(ErrorText([&] { c.SetAnimatedColors(237); }), "Invalid count of animated colors");
  EXPECT_EQ(ErrorText([&] { c.SetAnimatedColors(-1); }), "Invalid count of animated colors");
  c.SetAnimatedColors(236);
  c.Image();
  EXPECT_EQ(c.FirstAnimatedIndex(), 11);
  std::set<QRgb> distinct(c.Palette().begin(), c.Palette().end());
  EXPECT_EQ(distinct.size(), 256u) << "entry 10, the statics and 236 animated colours";
  c.SetAnimatedColors(5);
  c.Image();
  ASSERT_EQ(c.FirstAnimatedIndex(), 242);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(c.Palette()[242 + i], c.AnimatedColor(i));
    for (int j = 0; j < 256; ++j) {
      if (j == 242 + i) continue;
      EXPECT_NE(c.Palette()[j], c.AnimatedColor(i)) << i << " " << j;
    }
    EXPECT_LT(c.MapColor(c.AnimatedColor(i)), 242u) << "drawing never lands on an animated entry";
  }
  EXPECT_EQ(ErrorText([&] { c.SetAnimatedColor(5, 0); }), "Invalidate animated color index");
  EXPECT_EQ(ErrorText([&] { c.SetAnimatedColor(-1, 0); }), "Invalidate animated color index");

  c.BeginDraw();
  c.SetPixelValue(243);
  c.Clear();
  c.SetAnimatedColor(1, qRgb(1, 2, 3));
  EXPECT_EQ(c.Image().pixel(4, 4), qRgb(1, 2, 3)) << "shown at the next copy, without redrawing";
  c.BeginAnimate();
  c.BeginAnimate();
  c.SetAnimatedColor(1, qRgb(4, 5, 6));
  c.SetAnimatedColor(4, qRgb(7, 8, 9));
  c.EndAnimate();
  EXPECT_EQ(c.Image().pixel(4, 4), qRgb(1, 2, 3)) << "held until the outermost batch ends";
  c.EndAnimate();
  EXPECT_EQ(c.Image().pixel(4, 4), qRgb(4, 5, 6));
  EXPECT_EQ(c.Palette()[246], qRgb(7, 8, 9));
  c.EndDraw();
  c.SetAnimatedColors(0);
  c.Image();
  EXPECT_EQ(c.FirstAnimatedIndex(), 256);
  EXPECT_EQ(c.Palette()[246], plain[246]);
}

TEST(DIBGraphicControl, UseBackGroundDIBFollowsThePicture) {
  TMMDIBGraphicControl control;
  control.resize(34, 26);
  control.show();
  control.SetUseBackGroundDIB(true);
  EXPECT_FALSE(control.UseBackGroundDIB()) << "no picture yet";
  control.SetBackGroundDIB(Picture());
  EXPECT_FALSE(control.UseBackGroundDIB());
  control.SetUseBackGroundDIB(true);
  EXPECT_TRUE(control.UseBackGroundDIB());
  EXPECT_TRUE(control.PaletteRealize());
  const QSize area = control.SurfaceImage().size();
  EXPECT_EQ(control.SurfaceImage().pixel(0, 0), kPictureColours[0]);
  EXPECT_EQ(control.SurfaceImage().pixel(area.width() - 1, area.height() - 1), kPictureColours[5]);
  control.SetBackGroundDIB(QImage());
  EXPECT_FALSE(control.UseBackGroundDIB());
  EXPECT_FALSE(control.PaletteRealize());
  EXPECT_EQ(control.SurfaceImage().pixel(0, 0), qRgb(0, 0, 0));
}

}  // namespace
}  // namespace strataeq
