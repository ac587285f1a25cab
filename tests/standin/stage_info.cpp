#include "stage_info.h"

#include <cstdio>
#include <vector>

#include "swf/swf_reader.h"

namespace {

// Lines that fit a small stage; the rest are counted.
constexpr size_t MAX_LOAD_LINES = 12;

struct StageNotes {
  HWND stage = nullptr;
  bool has_movie = false;
  swf::Movie movie;
  std::vector<std::wstring> loads;
  size_t load_count = 0;
};

StageNotes& notes() {
  static StageNotes n;
  return n;
}

void refresh() {
  if (notes().stage) InvalidateRect(notes().stage, nullptr, FALSE);
}

std::wstring widen(const std::string& s) {
  std::wstring w;
  for (char c : s) w += wchar_t(static_cast<unsigned char>(c));
  return w;
}

std::wstring answer(HRESULT result, unsigned long long bytes) {
  wchar_t text[64];
  if (result == S_OK || result == S_FALSE)
    std::swprintf(text, 64, L"served, %llu bytes", bytes);
  else if (result == HRESULT(0x800C0005))
    std::swprintf(text, 64, L"not found");
  else
    std::swprintf(text, 64, L"failed 0x%08lX", static_cast<unsigned long>(result));
  return text;
}

}  // namespace

void stage_attach(HWND stage) { notes().stage = stage; }

void stage_detach(HWND stage) {
  if (notes().stage == stage) notes().stage = nullptr;
}

void stage_note_movie(const std::string& leading_bytes) {
  if (notes().has_movie) return;
  swf::Options options;
  options.collect = false;
  notes().movie = swf::read_movie(leading_bytes.data(), leading_bytes.size(), options);
  notes().has_movie = true;
  refresh();
}

void stage_note_load(const std::wstring& url, HRESULT result, unsigned long long bytes) {
  ++notes().load_count;
  if (notes().loads.size() < MAX_LOAD_LINES) notes().loads.push_back(answer(result, bytes) + L": " + url);
  refresh();
}

void stage_paint(HWND stage, HDC dc, const RECT& area, COLORREF fallback) {
  const StageNotes& n = notes();
  const swf::Movie& m = n.movie;
  COLORREF back = n.has_movie && m.has_background
                      ? RGB(m.background[0], m.background[1], m.background[2])
                      : fallback;
  HBRUSH brush = CreateSolidBrush(back);
  FillRect(dc, &area, brush);
  DeleteObject(brush);
  if (!n.has_movie && n.loads.empty()) return;

  std::vector<std::wstring> lines;
  if (n.has_movie) {
    wchar_t text[160];
    if (m.is_swf && m.header_complete)
      std::swprintf(text, 160, L"SWF %u (%ls), %ldx%ld, %.2f fps, %u frame(s)", unsigned(m.version),
                    widen(swf::signature(m.compression)).c_str(), long(m.width_px()),
                    long(m.height_px()), m.fps(), unsigned(m.frame_count));
    else if (m.is_swf)
      std::swprintf(text, 160, L"SWF %u: %ls", unsigned(m.version),
                    m.problems.empty() ? L"header unread" : widen(m.problems[0].message).c_str());
    else
      std::swprintf(text, 160, L"not a SWF movie");
    lines.push_back(text);
  }
  for (const std::wstring& l : n.loads) lines.push_back(l);
  if (n.load_count > n.loads.size()) {
    wchar_t more[64];
    std::swprintf(more, 64, L"... and %u more", unsigned(n.load_count - n.loads.size()));
    lines.push_back(more);
  }
  // Dark text on a light stage, light text on a dark one.
  int luma = GetRValue(back) * 3 + GetGValue(back) * 6 + GetBValue(back);
  SetTextColor(dc, luma > 1280 ? RGB(0, 0, 0) : RGB(255, 255, 255));
  SetBkMode(dc, TRANSPARENT);
  HGDIOBJ old = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
  TEXTMETRICW tm = {};
  GetTextMetricsW(dc, &tm);
  RECT client = {};
  GetClientRect(stage, &client);
  int y = 6;
  for (std::wstring l : lines) {
    // A line too wide loses the start of its URL: the file name stays.
    size_t keep = l.find(L": ") == std::wstring::npos ? 0 : l.find(L": ") + 2;
    SIZE size = {};
    while (l.size() > keep + 2 && GetTextExtentPoint32W(dc, l.c_str(), int(l.size()), &size) &&
           size.cx > client.right - 12)
      l = l.substr(0, keep) + L"..." + l.substr(keep + (l.compare(keep, 3, L"...") ? 1 : 4));
    TextOutW(dc, 6, y, l.c_str(), int(l.size()));
    y += tm.tmHeight + 1;
  }
  SelectObject(dc, old);
}
