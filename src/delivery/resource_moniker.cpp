#include "delivery/resource_moniker.h"

#include "base/text.h"
#include "base/win/held_ref.h"
#include "base/win/hresult.h"
#include "base/win/platform.h"
#include "delivery/resource_stream.h"
#include "delivery/tracking.h"
#include "package/platform.h"
#include "package/player_state.h"

using base::win::HeldRef;
using delivery_detail::g_live;

namespace {

ResourceMoniker* g_live_head;

}  // namespace

ResourceMoniker::ResourceMoniker(int32_t index, HWND window) : index_(index), window_(window) {
  next_live_ = g_live_head;
  if (g_live_head) g_live_head->prev_live_ = this;
  g_live_head = this;
  ++g_live.monikers;
}

ResourceMoniker* create_resource_moniker(int32_t index, HWND window) {
  return base::win::new_global<ResourceMoniker>(index, window);
}

IMoniker* resource_moniker_interface(ResourceMoniker* moniker) { return moniker; }

ResourceMoniker* ResourceMoniker::find_live(const void* address) {
  for (ResourceMoniker* m = g_live_head; m; m = m->next_live_)
    if (m == address) return m;
  return nullptr;
}

ResourceMoniker* ResourceMoniker::find_by_timer(HWND window, UINT_PTR timer) {
  for (ResourceMoniker* m = g_live_head; m; m = m->next_live_)
    if (m->timer_ && m->timer_ == timer && m->window_ == window) return m;
  return nullptr;
}

void ResourceMoniker::destroy() {
  // Unlinked first: nothing reached from here may find this moniker again.
  if (prev_live_) prev_live_->next_live_ = next_live_;
  else g_live_head = next_live_;
  if (next_live_) next_live_->prev_live_ = prev_live_;
  --g_live.monikers;

  bind_info_.reset();
  if (stream_) {
    stream_->end_feed(E_ABORT);
    stream_->Release();
  }
  callback_.reset();
  disarm_timer();
  close_file();
  base::win::delete_global(this);
}

STDMETHODIMP ResourceMoniker::BindToStorage(IBindCtx* context, IMoniker*, REFIID, void** out) {
  if (!context) return E_UNEXPECTED;
  if (out) *out = nullptr;
  // One transfer per moniker: its fields hold one.
  if (state_ != TransferState::IDLE) return E_UNEXPECTED;
  // The callback may drop the last outside reference from a notification.
  HeldRef<IMoniker> self(this);

  // Both are listed before the control writes them: a call it abandons
  // after handing one over still gives that reference back.
  HeldRef<IUnknown> holder;
  IUnknown** found = holder.put();
  HRESULT hr = context->GetObjectParam(const_cast<LPOLESTR>(L"_BSCB_Holder_"), found);
  // What a failed call leaves in its out pointer is not ours to release.
  if (FAILED(hr)) *found = nullptr;
  RETURN_IF_FAILED(hr);
  if (!holder) return E_UNEXPECTED;
  callback_.reset();
  HeldRef<IBindStatusCallback> callback;
  void** slot = reinterpret_cast<void**>(callback.put());
  hr = holder->QueryInterface(IID_IBindStatusCallback, slot);
  if (FAILED(hr)) {
    *slot = nullptr;
    return hr;
  }
  if (!callback) return E_NOINTERFACE;
  callback_.attach(callback.detach());

  RETURN_IF_FAILED(callback_->GetBindInfo(&bind_flags_, bind_info_.receive()));

  const ResourceEntry* entry = resource_entry(index_);
  if (!entry) {
    state_ = TransferState::DONE;
    stop_binding(INET_E_RESOURCE_NOT_FOUND);
    return INET_E_RESOURCE_NOT_FOUND;
  }
  return start_transfer();
}

HRESULT ResourceMoniker::start_transfer() {
  const uint32_t size = uint32_t(resource_entry(index_)->size);
  state_ = TransferState::DONE;  // until the first read is under way
  IBinding* binding = this;
  callback_->OnStartBinding(0, binding);
  // Aborted from inside OnStartBinding: nothing is started.
  if (stopped()) return S_OK;

  stream_ = create_resource_stream(size, window_, this);
  if (!stream_) {
    end_transfer(E_OUTOFMEMORY);
    return S_OK;
  }
  if (size == 0) {
    end_transfer(S_FALSE);
    return S_OK;
  }
  HANDLE file = platform_create_file(get_executable_path(), GENERIC_READ, FILE_SHARE_READ,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_READONLY);
  if (file == INVALID_HANDLE_VALUE || !file) {
    end_transfer(INET_E_DOWNLOAD_FAILURE);
    return S_OK;
  }
  file_.reset(file);
  ++g_live.files;
  bytes_read_ = 0;
  chunk_size_ = size < CHUNK_LIMIT ? size : CHUNK_LIMIT;
  chunk_ = alloc_chunk_buffer(chunk_size_);
  if (!chunk_) {
    end_transfer(E_OUTOFMEMORY);
    return S_OK;
  }
  stream_->adopt_buffer(chunk_);
  read_chunk();
  return S_OK;
}

STDMETHODIMP ResourceMoniker::GetDisplayName(IBindCtx* context, IMoniker* left, LPOLESTR* name) {
  if (!name) return E_UNEXPECTED;
  *name = nullptr;
  HRESULT hr = E_UNEXPECTED;
  if (left) {
    base::win::HeldCoTaskMem<wchar_t> left_name;
    hr = left->GetDisplayName(context, nullptr, left_name.put());
  }
  const ResourceEntry* entry = resource_entry(index_);
  // Success always comes with a name.
  if (!entry || !entry->url) return FAILED(hr) ? hr : E_UNEXPECTED;
  const size_t units = text::length(entry->url) + 1;
  auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(units * sizeof(wchar_t)));
  if (!copy) return E_OUTOFMEMORY;
  CopyMemory(copy, entry->url, units * sizeof(wchar_t));
  *name = copy;
  return S_OK;
}
