// Shared ground of the controls and displays: colours by name, fonts by the names the
// window was designed with, the bevel that frames every control, and the two control
// bases (windowless, painting over its parent; windowed, taking focus).
// Each has a header of its own; this one gathers them for the controls and displays.
#pragma once

#include "controls/MMAccess.h"
#include "controls/MMBevel.h"
#include "controls/MMColors.h"
#include "controls/MMControl.h"
#include "controls/MMInput.h"
