#include "controls/MMColors.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <array>
#include <cstdio>

namespace strataeq {

namespace {

struct NamedColor {
  std::string_view name;
  TColor color;
};

constexpr std::array<NamedColor, 45> kColorNames{{
    {"clBlack", clBlack},
    {"clMaroon", clMaroon},
    {"clGreen", clGreen},
    {"clOlive", clOlive},
    {"clNavy", clNavy},
    {"clPurple", clPurple},
    {"clTeal", clTeal},
    {"clGray", clGray},
    {"clSilver", clSilver},
    {"clRed", clRed},
    {"clLime", clLime},
    {"clYellow", clYellow},
    {"clBlue", clBlue},
    {"clFuchsia", clFuchsia},
    {"clAqua", clAqua},
    {"clWhite", clWhite},
    {"clLtGray", clLtGray},
    {"clDkGray", clDkGray},
    {"clNone", clNone},
    {"clDefault", clDefault},
    {"clScrollBar", clScrollBar},
    {"clBackground", clBackground},
    {"clActiveCaption", clActiveCaption},
    {"clInactiveCaption", clInactiveCaption},
    {"clMenu", clMenu},
    {"clWindow", clWindow},
    {"clWindowFrame", clWindowFrame},
    {"clMenuText", clMenuText},
    {"clWindowText", clWindowText},
    {"clCaptionText", clCaptionText},
    {"clActiveBorder", clActiveBorder},
    {"clInactiveBorder", clInactiveBorder},
    {"clAppWorkSpace", clAppWorkSpace},
    {"clHighlight", clHighlight},
    {"clHighlightText", clHighlightText},
    {"clBtnFace", clBtnFace},
    {"clBtnShadow", clBtnShadow},
    {"clGrayText", clGrayText},
    {"clBtnText", clBtnText},
    {"clInactiveCaptionText", clInactiveCaptionText},
    {"clBtnHighlight", clBtnHighlight},
    {"cl3DDkShadow", cl3DDkShadow},
    {"cl3DLight", cl3DLight},
    {"clInfoText", clInfoText},
    {"clInfoBk", clInfoBk},
}};

// The classic 3-D scheme, indexed by system colour number.
constexpr std::array<TColor, 25> kSystemColors{{
    RGBColor(192, 192, 192),  // scroll bar
    RGBColor(0, 128, 128),    // desktop
    RGBColor(0, 0, 128),      // active caption
    RGBColor(128, 128, 128),  // inactive caption
    RGBColor(192, 192, 192),  // menu
    RGBColor(255, 255, 255),  // window
    RGBColor(0, 0, 0),        // window frame
    RGBColor(0, 0, 0),        // menu text
    RGBColor(0, 0, 0),        // window text
    RGBColor(255, 255, 255),  // caption text
    RGBColor(192, 192, 192),  // active border
    RGBColor(192, 192, 192),  // inactive border
    RGBColor(128, 128, 128),  // application work space
    RGBColor(0, 0, 128),      // highlight
    RGBColor(255, 255, 255),  // highlight text
    RGBColor(192, 192, 192),  // button face
    RGBColor(128, 128, 128),  // button shadow
    RGBColor(128, 128, 128),  // grey text
    RGBColor(0, 0, 0),        // button text
    RGBColor(192, 192, 192),  // inactive caption text
    RGBColor(255, 255, 255),  // button highlight
    RGBColor(0, 0, 0),        // 3-D dark shadow
    RGBColor(223, 223, 223),  // 3-D light
    RGBColor(0, 0, 0),        // tooltip text
    RGBColor(255, 255, 225),  // tooltip background
}};

}  // namespace

std::optional<TColor> ColorFromName(std::string_view name) {
  for (const auto& entry : kColorNames)
    if (entry.name == name) return entry.color;
  return std::nullopt;
}

std::string ColorName(TColor color) {
  for (const auto& entry : kColorNames)
    if (entry.color == color) return std::string(entry.name);
  char text[16];
  std::snprintf(text, sizeof text, "$%08X", static_cast<unsigned>(color));
  return text;
}

TColor ColorToRGB(TColor color) {
  const auto bits = static_cast<std::uint32_t>(color);
  if ((bits & 0xFF000000u) == 0xFF000000u) {
    const std::uint32_t index = bits & 0xFFu;
    return index < kSystemColors.size() ? kSystemColors[index] : clBlack;
  }
  if (color == clNone || color == clDefault) return clBlack;
  return TColor(bits & 0x00FFFFFFu);
}

QColor ToQColor(TColor color) {
  const TColor rgb = ColorToRGB(color);
  return QColor(rgb & 255, (rgb >> 8) & 255, (rgb >> 16) & 255);
}

TColor FromQColor(const QColor& color) { return RGBColor(color.red(), color.green(), color.blue()); }

QString InstalledFamily(std::string_view designFamily) {
  // Metric-compatible stand-ins where they exist; the bitmap fonts of the design get the
  // sans-serif of the same build.
  static constexpr std::pair<std::string_view, const char*> kFamilies[] = {
      {"MS Sans Serif", "Liberation Sans"},
      {"Arial", "Liberation Sans"},
      {"Small Fonts", "DejaVu Sans Condensed"},
      {"Times New Roman", "Liberation Serif"},
      {"Courier New", "Liberation Mono"},
      {"MS Serif", "Liberation Serif"},
      {"Tahoma", "DejaVu Sans"},
      {"Verdana", "DejaVu Sans"},
  };
  for (const auto& [design, installed] : kFamilies)
    if (design == designFamily) return QString::fromLatin1(installed);
  return QStringLiteral("DejaVu Sans");
}

QFont MMFont(std::string_view designFamily, int height, TFontStyles styles) {
  QFont font(InstalledFamily(designFamily));
  font.setStyleStrategy(QFont::NoFontMerging);
  font.setHintingPreference(QFont::PreferFullHinting);
  font.setBold(HasStyle(styles, TFontStyle::fsBold));
  font.setItalic(HasStyle(styles, TFontStyle::fsItalic));
  font.setUnderline(HasStyle(styles, TFontStyle::fsUnderline));
  font.setStrikeOut(HasStyle(styles, TFontStyle::fsStrikeOut));
  if (height < 0) {
    font.setPixelSize(-height);
  } else if (height > 0) {
    // Largest pixel size whose line (ascent + descent) fits the cell.
    int size = height;
    for (; size > 1; --size) {
      font.setPixelSize(size);
      if (QFontMetrics(font).height() <= height) break;
    }
    font.setPixelSize(size);
  } else {
    font.setPixelSize(11);
  }
  return font;
}

}  // namespace strataeq
