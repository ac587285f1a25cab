#include "resolve/resolve_win.h"

#include <urlmon.h>

#include <cstdlib>

#include "base/win/bind_info.h"
#include "base/win/held_ref.h"
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
