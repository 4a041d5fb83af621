#pragma once
// The three wizard pages: modeless child dialogs placed over the frame's
// page area, whose texts are all owner-drawn.

#include <windows.h>

#include <string>

#include "core/progress/progress.h"

namespace zorvane::client {

class GuiCommon;

// A page of the frame `gui`, which outlives it.
class GuiCommonMember {
public:
    explicit GuiCommonMember(GuiCommon& gui) : gui_(gui) {}
    virtual ~GuiCommonMember() = default;
    // Makes the page window from its template and places it. True on success.
    virtual bool create(HINSTANCE instance, int templateId) = 0;

    HWND parent() const { return parent_; }
    void setParent(HWND parent) { parent_ = parent; }
    HWND window() const { return window_; }

protected:
    // Shared by the three pages: the dialog from the template, its
    // procedure handing the page's messages to Page::handle, then placed on
    // the page area.
    template <typename Page>
    bool createPage(HINSTANCE instance, int templateId);

    GuiCommon& gui_;
    HWND parent_ = nullptr;
    HWND window_ = nullptr;

private:
    // The messages every page handles alike, then Page::handle.
    template <typename Page>
    static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

class GuiStart : public GuiCommonMember {
public:
    using GuiCommonMember::GuiCommonMember;
    bool create(HINSTANCE instance, int templateId) override;
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
};

class GuiProgress : public GuiCommonMember {
public:
    using GuiCommonMember::GuiCommonMember;
    bool create(HINSTANCE instance, int templateId) override;
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
    ProgressState& state() { return state_; }

private:

    ProgressState state_;
};

class GuiResult : public GuiCommonMember {
public:
    using GuiCommonMember::GuiCommonMember;
    bool create(HINSTANCE instance, int templateId) override;
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
};

// Moves the page window onto the frame's page area (control 1014).
void placePage(GuiCommonMember& page);

// Draws one owner-drawn text: the font's style colour (black for a font
// that is none of the seven styles) on the page colour, left and top
// aligned or centred.
void drawItemText(const GuiCommon& gui, const DRAWITEMSTRUCT& item, int stringId, HFONT font, bool centred);
void drawItemText(const GuiCommon& gui, const DRAWITEMSTRUCT& item, const std::u16string& text, HFONT font,
                  bool centred);

}  // namespace zorvane::client
