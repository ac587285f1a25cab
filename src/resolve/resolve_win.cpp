#include "resolve/resolve_win.h"

#include <urlmon.h>

#include <cstdlib>

#include "base/malloc_ptr.h"
#include "base/text.h"
#include "base/win/bind_info.h"
#include "base/win/held_ref.h"
#include "base/win/platform.h"
#include "package/player_state.h"
#include "resolve/resolve.h"

using base::win::HeldRef;
using base::win::QUERY_HOLD;

namespace {

const wchar_t kHolderName[] = L"_BSCB_Holder_";

static_assert(sizeof(void*) != 4 || sizeof(BINDINFO) == 84, "BINDINFO layout");

}  // namespace

char* read_post_key(IBindCtx* bind_context) {
  if (!bind_context) return nullptr;
  // Held so that a fault inside the control's calls gives them back too.
  HeldRef<IUnknown> holder;
  IUnknown** found = holder.put();
  // What a failed call leaves in its out pointer is not ours to release.
  if (FAILED(bind_context->GetObjectParam(const_cast<wchar_t*>(kHolderName), found))) *found = nullptr;
  HeldRef<IBindStatusCallback> callback(QUERY_HOLD, holder.get());
  if (!callback) return nullptr;
  DWORD flags = 0;
  base::win::HeldBindInfo bind_info;
  if (!bind_info.get() || FAILED(callback->GetBindInfo(&flags, bind_info.get()))) return nullptr;
  const BINDINFO& info = *bind_info.get();
  char* key = nullptr;
  if (info.dwBindVerb == BINDVERB_POST && info.stgmedData.tymed == TYMED_HGLOBAL &&
      info.cbstgmedData > 0) {
    if (void* body = GlobalLock(info.stgmedData.hGlobal)) {
      // A length beyond the block would read past its end.
      SIZE_T size = GlobalSize(info.stgmedData.hGlobal);
      DWORD length = info.cbstgmedData;
      if (size < length) length = DWORD(size);
      if (length > 0) base64_encode(body, length, &key);
      GlobalUnlock(info.stgmedData.hGlobal);
    }
  }
  return key;
}

HRESULT resolve_request(const char16_t* url, IBindCtx* bind_context, int32_t* index) {
  *index = -1;
  if (!url_is_served(url)) return MK_E_SYNTAX;
  char* key = playback_mode() == PLAYBACK_PAGE_POST ? read_post_key(bind_context) : nullptr;
  resolve_with_key(url, key, index);
  std::free(key);
  return S_OK;
}

HRESULT resolve_request_body(const char16_t* url, const void* body, uint32_t length,
                             int32_t* index) {
  *index = -1;
  if (!url_is_served(url)) return MK_E_SYNTAX;
  char* key = nullptr;
  if (playback_mode() == PLAYBACK_PAGE_POST && body && length > 0) base64_encode(body, length, &key);
  resolve_with_key(url, key, index);
  std::free(key);
  return S_OK;
}

// A movie stuck on a file nobody captured is the commonest failure; any
// debug-output viewer shows which file it was. The wide form keeps a URL's
// own characters where the system passes them on; the older family's wide
// form does nothing, so it gets the ANSI text.
void report_unanswered(const char16_t* url) {
  static const char16_t PREFIX[] = u"Tessivo: not in the package: ";
  if (!url) url = u"";
  size_t units = sizeof PREFIX / sizeof *PREFIX + text::length(url) + 1;
  base::MallocPtr<char16_t> line(static_cast<char16_t*>(std::malloc(units * 2)));
  if (!line) return;
  char16_t* end = text::append(text::append(line.get(), PREFIX), url);
  end[0] = u'\n';
  end[1] = 0;
  if (is_nt_platform()) {
    OutputDebugStringW(as_wide(line.get()));
    return;
  }
  base::MallocPtr<char> ansi(wide_to_ansi(line.get()));
  if (ansi) OutputDebugStringA(ansi.get());
}
