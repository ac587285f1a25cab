// What the stand-in paints on its stage: the first movie's background colour
// and, in small text, its frame size, rate and version and every load with
// its answer, so a screenshot shows what happened.
#pragma once

#include <windows.h>

#include <string>

// A stage window shows the notes below; only one stage is live at a time.
void stage_attach(HWND stage);
void stage_detach(HWND stage);
// The first movie's leading bytes; later movies leave the header alone.
void stage_note_movie(const std::string& leading_bytes);
void stage_note_load(const std::wstring& url, HRESULT result, unsigned long long bytes);
void stage_paint(HWND stage, HDC dc, const RECT& area, COLORREF fallback);
