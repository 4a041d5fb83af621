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

// Fonts 1 to 7 (Arial, ANSI, antialiased), created together and deleted in
// the same order when the object goes.
class TextStyles {
public:
    TextStyles();
    ~TextStyles();
    TextStyles(const TextStyles&) = delete;
    TextStyles& operator=(const TextStyles&) = delete;

    const TextStyleEntry& operator[](TextStyle style) const;

private:
    std::array<TextStyleEntry, 7> entries_;
};

}  // namespace zorvane::client
