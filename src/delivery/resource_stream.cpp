#include "delivery/resource_stream.h"

#include "delivery/delivery.h"
#include "delivery/tracking.h"
#include "package/player_state.h"

using delivery_detail::g_live;

namespace delivery_detail {

delivery_testing::LiveCounts g_live;
bool g_fail_chunk_buffers;
bool g_fail_file_reads;

}  // namespace delivery_detail

namespace delivery_testing {

LiveCounts live_counts() { return g_live; }
void fail_chunk_buffers(bool fail) { delivery_detail::g_fail_chunk_buffers = fail; }
void fail_file_reads(bool fail) { delivery_detail::g_fail_file_reads = fail; }

}  // namespace delivery_testing

uint8_t* alloc_chunk_buffer(uint32_t size) {
  if (delivery_detail::g_fail_chunk_buffers) return nullptr;
  auto* buffer = static_cast<uint8_t*>(GlobalAlloc(GMEM_FIXED, size));
  if (buffer) ++g_live.buffers;
  return buffer;
}

void free_chunk_buffer(uint8_t* buffer) {
  if (!buffer) return;
  GlobalFree(buffer);
  --g_live.buffers;
}

ResourceStream::ResourceStream(uint32_t total_size, HWND window, ResourceMoniker* moniker)
    : total_size_(total_size), window_(window), moniker_(moniker) {
  ++g_live.streams;
}

ResourceStream* create_resource_stream(uint32_t total_size, HWND window,
                                       ResourceMoniker* moniker) {
  return base::win::new_global<ResourceStream>(total_size, window, moniker);
}

void ResourceStream::destroy() {
  free_chunk_buffer(buffer_);
  --g_live.streams;
  base::win::delete_global(this);
}

void ResourceStream::serve_chunk(uint32_t length) {
  length_ = buffer_ ? length : 0;
  cursor_ = 0;
}

void ResourceStream::end_feed(HRESULT status) {
  moniker_ = nullptr;
  if (FAILED(status) && SUCCEEDED(end_status_)) end_status_ = status;
}

STDMETHODIMP ResourceStream::Read(void* buffer, ULONG count, ULONG* count_read) {
  if (!buffer || !count || !count_read) return STG_E_INVALIDPOINTER;
  const uint32_t left = length_ - cursor_;
  if (left) {
    const uint32_t n = count < left ? count : left;
    CopyMemory(buffer, buffer_ + cursor_, n);
    cursor_ += n;
    delivered_ += n;
    *count_read = n;
    return S_OK;
  }
  *count_read = 0;
  if (delivered_ != total_size_) {
    // Once the feed has ended nothing more will come: say so, not E_PENDING.
    if (FAILED(end_status_)) return end_status_;
    if (!moniker_) return E_ABORT;
    PostMessageA(window_, MSG_READ_NEXT_CHUNK, reinterpret_cast<WPARAM>(moniker_), 0);
    return E_PENDING;
  }
  if (video_player_loading()) PostMessageA(window_, MSG_PLAYER_READY, 0, 0);
  return S_FALSE;
}

STDMETHODIMP ResourceStream::Stat(STATSTG* stat, DWORD) {
  if (!stat) return STG_E_INVALIDPOINTER;
  *stat = {};
  stat->type = STGTY_STREAM;
  stat->cbSize.QuadPart = total_size_;
  return S_OK;
}
