#include "client/gui/text_styles.h"

#include <cwchar>

namespace zorvane::client {

namespace {

struct StyleDefinition {
    LONG height;
    LONG weight;
    BYTE underline;
    COLORREF colour;
};

constexpr std::array<StyleDefinition, 7> kStyles = {{
    {14, 400, FALSE, RGB(0, 0, 0)},    // body
    {16, 500, FALSE, RGB(0, 0, 0)},    // headline
    {14, 700, FALSE, RGB(0, 0, 0)},    // bold
    {14, 100, TRUE, RGB(0, 0, 255)},   // link
    {14, 100, FALSE, RGB(0, 0, 0)},    // label
    {12, 400, FALSE, RGB(0, 0, 0)},    // small
    {18, 700, FALSE, RGB(0, 44, 119)}, // title
}};

}  // namespace

TextStyles::TextStyles()
{
    for (std::size_t i = 0; i < kStyles.size(); ++i) {
        LOGFONTW font{};
        font.lfHeight = kStyles[i].height;
        font.lfWeight = kStyles[i].weight;
        font.lfUnderline = kStyles[i].underline;
        font.lfCharSet = ANSI_CHARSET;
        font.lfQuality = ANTIALIASED_QUALITY;
        wcscpy(font.lfFaceName, L"Arial");
        entries_[i].font.reset(CreateFontIndirectW(&font));
        entries_[i].colour = kStyles[i].colour;
    }
}

TextStyles::~TextStyles()
{
    for (TextStyleEntry& entry : entries_)
        entry.font.reset();
}

const TextStyleEntry& TextStyles::operator[](TextStyle style) const
{
    return entries_[static_cast<std::size_t>(style) - 1];
}

}  // namespace zorvane::client
