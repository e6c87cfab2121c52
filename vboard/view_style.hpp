#pragma once

// How the live view is drawn where it goes: with escapes (colour, the
// pinned status line's scroll region and cursor moves) or with none, and
// its boxes and bars in UTF-8 or in ASCII.

namespace vboard {

enum class ColorMode { automatic, always, never };

struct ViewStyle {
    bool escapes = false;
    bool utf8 = false;
};

// `terminal`: whether the view goes to a terminal. Under automatic, escapes
// go only to a terminal that can take them: not TERM=dumb, and not with
// NO_COLOR set to anything (no-color.org's rule). The characters follow the
// locale's LC_CTYPE.
ViewStyle choose_view_style(ColorMode mode, bool terminal);

} // namespace vboard
