// The moniker the control binds to for one resource entry: IMoniker,
// IROTData and IBinding in one block, with the state of its one transfer.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <cstdint>

#include "base/win/bind_info.h"
#include "base/win/held_ref.h"
#include "base/win/scoped_handle.h"
#include "base/win/unknown.h"
#include "delivery/delivery.h"

class ResourceStream;

constexpr uint32_t CHUNK_LIMIT = 0x10000;

// libuuid's copy would pull its whole table of ids into the stub.
inline constexpr IID IID_ASYNC_MONIKER = {
    0x79eac9d3, 0xbaf9, 0x11ce, {0x8c, 0x82, 0x00, 0xaa, 0x00, 0x4b, 0xa9, 0x0b}};

using ResourceMonikerTable = base::win::QueryTable<
    base::win::Answer<IMoniker, IID_IUnknown, IID_IPersist, IID_IPersistStream, IID_IMoniker,
                      IID_ASYNC_MONIKER>,
    base::win::Answer<IROTData, IID_IROTData>, base::win::Answer<IBinding, IID_IBinding>>;

class ResourceMoniker final
    : public base::win::Unknown<ResourceMoniker, base::win::Counted, ResourceMonikerTable, IMoniker,
                                IROTData, IBinding> {
 public:
  ResourceMoniker(int32_t index, HWND window);

  // IPersist, IPersistStream
  STDMETHODIMP GetClassID(CLSID*) override { return E_NOTIMPL; }
  STDMETHODIMP IsDirty() override { return E_NOTIMPL; }
  STDMETHODIMP Load(IStream*) override { return E_NOTIMPL; }
  STDMETHODIMP Save(IStream*, BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

  // IMoniker
  STDMETHODIMP BindToObject(IBindCtx*, IMoniker*, REFIID, void**) override { return E_NOTIMPL; }
  STDMETHODIMP BindToStorage(IBindCtx* context, IMoniker* left, REFIID iid, void** out) override;
  STDMETHODIMP Reduce(IBindCtx*, DWORD, IMoniker**, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP ComposeWith(IMoniker*, BOOL, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP Enum(BOOL, IEnumMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP IsEqual(IMoniker*) override { return E_NOTIMPL; }
  STDMETHODIMP Hash(DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP IsRunning(IBindCtx*, IMoniker*, IMoniker*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override { return E_NOTIMPL; }
  STDMETHODIMP Inverse(IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP CommonPrefixWith(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP RelativePathTo(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP GetDisplayName(IBindCtx* context, IMoniker* left, LPOLESTR* name) override;
  STDMETHODIMP ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG*, IMoniker**) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP IsSystemMoniker(DWORD*) override { return E_NOTIMPL; }

  // IROTData
  STDMETHODIMP GetComparisonData(byte*, ULONG, ULONG*) override { return E_NOTIMPL; }

  // IBinding. Abort stops the transfer as urlmon's binding does.
  STDMETHODIMP Abort() override;
  STDMETHODIMP Suspend() override { return E_NOTIMPL; }
  STDMETHODIMP Resume() override { return E_NOTIMPL; }
  STDMETHODIMP SetPriority(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP GetBindResult(CLSID*, DWORD*, LPOLESTR*, DWORD*) override { return E_NOTIMPL; }

  // Transfer steps, driven by the stream's message and the timer.
  void request_next_chunk();
  void timer_step();

  // Live monikers, so that a stale message or timer id is recognised.
  static ResourceMoniker* find_live(const void* address);
  static ResourceMoniker* find_by_timer(HWND window, UINT_PTR timer);

 private:
  friend base::win::Counted;
  enum class TransferState { IDLE, READING, SERVING, DONE };

  void destroy();
  HRESULT start_transfer();
  void read_chunk();
  bool read_at(uint32_t offset);
  void end_transfer(HRESULT status);
  // OnStopBinding, at most once per transfer; the caller holds the moniker.
  void stop_binding(HRESULT status);
  bool stopped() const { return stop_sent_; }
  bool arm_timer();
  void disarm_timer();
  // False when the binding was stopped from inside a notification.
  bool notify_first_data(IBindStatusCallback* callback, uint32_t size);
  void close_file();
  const char16_t* reported_url() const;

  int32_t index_;
  HWND window_;
  base::win::ScopedHandle file_;  // opened by the transfer
  base::win::OwnedRef<IBindStatusCallback> callback_;
  ResourceStream* stream_ = nullptr;
  base::win::ScopedBindInfo bind_info_;
  DWORD bind_flags_ = 0;
  uint8_t* chunk_ = nullptr;  // owned by stream_
  uint32_t chunk_size_ = 0;
  uint32_t bytes_read_ = 0;
  OVERLAPPED request_ = {};

  TransferState state_ = TransferState::IDLE;
  bool stop_sent_ = false;  // OnStopBinding has gone to the callback
  bool aborted_ = false;
  HRESULT read_status_ = S_OK;  // of the chunk waiting for its tick
  UINT_PTR timer_ = 0;          // armed timer id, 0 when none
  ResourceMoniker* next_live_ = nullptr;
  ResourceMoniker* prev_live_ = nullptr;
};

// The transfer timer's procedure; the timer id names the moniker.
void CALLBACK transfer_timer_step(HWND window, UINT message, UINT_PTR timer, DWORD time);
