// The IStream through which the control reads one transfer's bytes.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstdint>

#include "base/win/unknown.h"

class ResourceMoniker;

class ResourceStream final
    : public base::win::Unknown<
          ResourceStream, base::win::Counted,
          base::win::QueryTable<base::win::Answer<IStream, IID_IUnknown, IID_IStream>>, IStream> {
 public:
  ResourceStream(uint32_t total_size, HWND window, ResourceMoniker* moniker);
  // ISequentialStream
  STDMETHODIMP Read(void* buffer, ULONG count, ULONG* count_read) override;
  STDMETHODIMP Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  // IStream
  STDMETHODIMP Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Commit(DWORD) override { return S_OK; }
  STDMETHODIMP Revert() override { return S_OK; }
  STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return S_OK; }
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return S_OK; }
  STDMETHODIMP Stat(STATSTG* stat, DWORD flag) override;
  STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

  // The stream owns the transfer's chunk buffer, so that a control holding
  // the stream can still read it after the moniker is gone.
  void adopt_buffer(uint8_t* buffer) { buffer_ = buffer; }
  uint8_t* buffer() const { return buffer_; }
  // Starts serving length bytes from the start of the buffer.
  void serve_chunk(uint32_t length);
  bool chunk_used_up() const { return cursor_ == length_; }
  // No more chunks will come: once the current one is used up, Read
  // answers status instead of asking for more.
  void end_feed(HRESULT status);

 private:
  friend base::win::Counted;
  void destroy();

  uint32_t total_size_;
  uint32_t delivered_ = 0;
  HWND window_;
  ResourceMoniker* moniker_;  // not counted; cleared by end_feed
  uint8_t* buffer_ = nullptr;
  uint32_t length_ = 0;
  uint32_t cursor_ = 0;
  HRESULT end_status_ = S_OK;
};

// A new stream holding one reference for its creator; null when out of memory.
ResourceStream* create_resource_stream(uint32_t total_size, HWND window,
                                       ResourceMoniker* moniker);

// The transfer's buffer, freed by the stream that adopted it.
uint8_t* alloc_chunk_buffer(uint32_t size);
void free_chunk_buffer(uint8_t* buffer);
