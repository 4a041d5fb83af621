#pragma once
// WOW64 file-system redirection, for zorvane.exe scanning by itself on
// 64-bit Windows.

namespace zorvane::win32 {

// Set once, before the scan starts, when zorvane.exe scans by itself on
// 64-bit Windows: file reads then run with file-system redirection off, so
// that System32 means the files 64-bit processes load.
void setScanWithoutRedirection();
bool scanWithoutRedirection();

// Turns WOW64 file-system redirection off for this thread while it lives,
// when setScanWithoutRedirection was called; does nothing otherwise.
class RedirectionOff {
public:
    RedirectionOff();
    ~RedirectionOff();
    RedirectionOff(const RedirectionOff&) = delete;
    RedirectionOff& operator=(const RedirectionOff&) = delete;

private:
    void* previous_ = nullptr;
    bool disabled_ = false;
};

}  // namespace zorvane::win32
