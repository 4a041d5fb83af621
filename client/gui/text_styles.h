#pragma once
// The seven text styles: a font and its colour, always used together.

#include <windows.h>

#include <array>

#include "client/win32/unique.h"

namespace zorvane::client {

enum class TextStyle { Body = 1, Headline, Bold, Link, Label, Small, Title };

struct TextStyleEntry {
    win32::UniqueFont font;
    COLORREF colour = 0;
};

// Creates fonts 1 to 7 (Arial, ANSI, antialiased). Call once at start-up.
void createTextStyles();
// Deletes them in the same order. Safe when none were created.
void releaseTextStyles();

const TextStyleEntry& textStyle(TextStyle style);

}  // namespace zorvane::client
