#include "resolve/resolve_win.h"

#include <urlmon.h>

#include <cstdlib>

#include "package/player_state.h"
#include "resolve/resolve.h"

namespace {

const wchar_t kHolderName[] = L"_BSCB_Holder_";

static_assert(sizeof(void*) != 4 || sizeof(BINDINFO) == 84, "BINDINFO layout");

}  // namespace

char* read_post_key(IBindCtx* bind_context) {
  if (!bind_context) return nullptr;
  IUnknown* holder = nullptr;
  if (FAILED(bind_context->GetObjectParam(const_cast<wchar_t*>(kHolderName), &holder)) || !holder)
    return nullptr;
  IBindStatusCallback* callback = nullptr;
  if (FAILED(holder->QueryInterface(IID_IBindStatusCallback, reinterpret_cast<void**>(&callback))) ||
      !callback) {
    holder->Release();
    return nullptr;
  }
  DWORD flags = 0;
  BINDINFO info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  char* key = nullptr;
  if (SUCCEEDED(callback->GetBindInfo(&flags, &info))) {
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
    // The medium stays with the caller; the extra text and pUnk are ours.
    if (info.szExtraInfo) CoTaskMemFree(info.szExtraInfo);
    if (info.pUnk) info.pUnk->Release();
  }
  callback->Release();
  holder->Release();
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
