// Mouse and key events of the controls, and Qt's keys and buttons mapped to them.
#pragma once

#include <Qt>
#include <cstdint>
#include <functional>
#include <optional>

#include "platform/Component.h"

namespace strataeq {

enum class TMouseButton { mbLeft, mbRight, mbMiddle };
enum class TShiftFlag : std::uint8_t { ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16, ssMiddle = 32 };
using TShiftState = std::uint8_t;  // TShiftFlag bits
constexpr bool HasShift(TShiftState s, TShiftFlag f) { return (s & std::uint8_t(f)) != 0; }

using TMouseEvent = std::function<void(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TObject* Sender, TShiftState Shift, int X, int Y)>;
using TKeyEvent = std::function<void(TObject* Sender, int& Key, TShiftState Shift)>;
using TKeyPressEvent = std::function<void(TObject* Sender, char& Key)>;

// Virtual key codes of the keys the controls and the window handle.
inline constexpr int VK_BACK = 8, VK_TAB = 9, VK_RETURN = 13, VK_ESCAPE = 27, VK_SPACE = 32, VK_PRIOR = 33,
                     VK_NEXT = 34, VK_END = 35, VK_HOME = 36, VK_LEFT = 37, VK_UP = 38, VK_RIGHT = 39,
                     VK_DOWN = 40, VK_INSERT = 45, VK_DELETE = 46;
// The virtual key of a Qt key (letters and digits as their upper-case codes), 0 when none.
int VirtualKey(int qtKey);
TShiftState ShiftStateOf(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons = Qt::NoButton);
std::optional<TMouseButton> MouseButtonOf(Qt::MouseButton button);

}  // namespace strataeq
