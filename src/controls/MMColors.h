// Colours by name and fonts by the names the window was designed with.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace strataeq {

// 0x00BBGGRR for plain colours; clSystemColor | index for the system's 3-D and window
// colours, which ColorToRGB resolves.
using TColor = std::int32_t;

inline constexpr TColor clSystemColor = static_cast<TColor>(0xFF000000u);
constexpr TColor SystemColor(int index) { return static_cast<TColor>(0xFF000000u | static_cast<std::uint32_t>(index)); }
constexpr TColor RGBColor(int r, int g, int b) { return TColor((b & 255) << 16 | (g & 255) << 8 | (r & 255)); }

inline constexpr TColor clBlack = 0x000000, clMaroon = 0x000080, clGreen = 0x008000, clOlive = 0x008080,
                        clNavy = 0x800000, clPurple = 0x800080, clTeal = 0x808000, clGray = 0x808080,
                        clSilver = 0xC0C0C0, clRed = 0x0000FF, clLime = 0x00FF00, clYellow = 0x00FFFF,
                        clBlue = 0xFF0000, clFuchsia = 0xFF00FF, clAqua = 0xFFFF00, clWhite = 0xFFFFFF,
                        clLtGray = 0xC0C0C0, clDkGray = 0x808080;
inline constexpr TColor clNone = 0x1FFFFFFF, clDefault = 0x20000000;
inline constexpr TColor clScrollBar = SystemColor(0), clBackground = SystemColor(1),
                        clActiveCaption = SystemColor(2), clInactiveCaption = SystemColor(3),
                        clMenu = SystemColor(4), clWindow = SystemColor(5), clWindowFrame = SystemColor(6),
                        clMenuText = SystemColor(7), clWindowText = SystemColor(8), clCaptionText = SystemColor(9),
                        clActiveBorder = SystemColor(10), clInactiveBorder = SystemColor(11),
                        clAppWorkSpace = SystemColor(12), clHighlight = SystemColor(13),
                        clHighlightText = SystemColor(14), clBtnFace = SystemColor(15),
                        clBtnShadow = SystemColor(16), clGrayText = SystemColor(17), clBtnText = SystemColor(18),
                        clInactiveCaptionText = SystemColor(19), clBtnHighlight = SystemColor(20),
                        cl3DDkShadow = SystemColor(21), cl3DLight = SystemColor(22), clInfoText = SystemColor(23),
                        clInfoBk = SystemColor(24);

// The colour table: every name the controls and the window use, in both directions.
std::optional<TColor> ColorFromName(std::string_view name);
std::string ColorName(TColor color);  // the name, or "$00BBGGRR" for a colour without one
// The plain colour (0x00BBGGRR) of a colour, system colours resolved from the classic
// 3-D scheme the window was designed with.
TColor ColorToRGB(TColor color);
QColor ToQColor(TColor color);
TColor FromQColor(const QColor& color);

// ---- fonts

enum class TFontStyle : std::uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = std::uint8_t;  // TFontStyle bits
constexpr TFontStyles operator|(TFontStyle a, TFontStyle b) { return TFontStyles(std::uint8_t(a) | std::uint8_t(b)); }
constexpr bool HasStyle(TFontStyles s, TFontStyle f) { return (s & std::uint8_t(f)) != 0; }

// The installed family that stands in for a design family ("MS Sans Serif", "Small
// Fonts", "Times New Roman", "Arial", ...).
QString InstalledFamily(std::string_view designFamily);
// A font as the design gives it: a negative height is the character height in pixels,
// a positive one the cell height (character plus internal leading).
QFont MMFont(std::string_view designFamily, int height, TFontStyles styles = 0);

}  // namespace strataeq
