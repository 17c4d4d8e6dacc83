// The error box with the program's requirements note, and the status bar text.
#pragma once

#include <string>

struct AppState;

// The caller's text followed by the requirements note.
std::wstring ComposeErrorText(const std::wstring& text);

// Modal "Error!" box owned by the main dialog; returns when it is closed.
void ShowErrorBox(AppState& state, const std::wstring& text);

// Writes part 0 of the main dialog's status bar; lost while the bar does not exist.
// The text becomes the running step's: ShowProgress adds the figures to it.
void SetStatusText(const std::wstring& text);
