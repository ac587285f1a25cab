// How the stand-in fetches a URL: through the container's bind host, with
// its own bind-status callback in the bind context, reading the stream it is
// handed until S_FALSE. Every notification is logged with the load's number.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <servprov.h>
#include <urlmon.h>

#include <cstdint>
#include <string>

#include "base/win/unknown.h"

class Fetcher;

enum class LoadKind { movie, file, skin, video };

uint32_t crc32_update(uint32_t crc, const unsigned char* data, size_t size);

// IHttpNegotiate only through the service provider.
using LoadTable = base::win::QueryTable<
    base::win::Answer<IBindStatusCallback, IID_IUnknown, IID_IBindStatusCallback>,
    base::win::Answer<IServiceProvider, IID_IServiceProvider>>;

class Load final : public base::win::Unknown<Load, base::win::Counted, LoadTable,
                                             IBindStatusCallback, IServiceProvider, IHttpNegotiate> {
 public:
  Load(Fetcher* owner, int id, LoadKind kind, const std::wstring& url, const std::string* body,
       DWORD read_size, bool read_later);

  // Asks for a moniker and binds it; false when the load ended at once.
  void start(IServiceProvider* site_services);
  // Reads what the stream has now; used inside OnDataAvailable and later.
  void read_available();
  // Drops the moniker, binding, stream and bind context.
  void release_request();
  void detach() { owner_ = nullptr; }
  // Writes the load's summary: URL, byte count, CRC-32, how it ended.
  void report();
  // Logs what a read outside OnDataAvailable took.
  void log_late_read();

  int id() const { return id_; }
  LoadKind kind() const { return kind_; }
  bool finished() const { return finished_; }
  const std::string& kept() const { return kept_; }
  // References others hold on the load (0 once the container let go).
  long outside_refs() const { return count() - 1; }

  // IBindStatusCallback
  STDMETHODIMP OnStartBinding(DWORD reserved, IBinding* binding) override;
  STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
  STDMETHODIMP OnProgress(ULONG progress, ULONG max, ULONG status, LPCWSTR text) override;
  STDMETHODIMP OnStopBinding(HRESULT result, LPCWSTR error) override;
  STDMETHODIMP GetBindInfo(DWORD* flags, BINDINFO* info) override;
  STDMETHODIMP OnDataAvailable(DWORD flags, DWORD size, FORMATETC* format,
                               STGMEDIUM* medium) override;
  STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

  // IServiceProvider
  STDMETHODIMP QueryService(REFGUID service, REFIID iid, void** out) override;

  // IHttpNegotiate
  STDMETHODIMP BeginningTransaction(LPCWSTR url, LPCWSTR headers, DWORD reserved,
                                    LPWSTR* additional) override;
  STDMETHODIMP OnResponse(DWORD code, LPCWSTR response, LPCWSTR request_headers,
                          LPWSTR* additional) override;

 private:
  friend base::win::Counted;
  ~Load();
  void destroy() { delete this; }
  void finish(HRESULT result, const char* failed_step);

  Fetcher* owner_;
  int id_;
  LoadKind kind_;
  std::wstring url_;
  bool post_;
  std::string body_;
  DWORD read_size_;
  bool read_later_;
  IBindCtx* context_ = nullptr;
  IMoniker* moniker_ = nullptr;
  IBinding* binding_ = nullptr;
  IStream* stream_ = nullptr;
  HGLOBAL post_data_ = nullptr;
  unsigned long long bytes_ = 0;
  uint32_t crc_ = 0;
  std::string kept_;  // the first bytes, where a movie's script is
  bool started_ = false;
  bool finished_ = false;
  bool saw_end_ = false;  // Read said S_FALSE
  bool read_posted_ = false;
  int data_calls_ = 0;
  int reads_ = 0;
  HRESULT last_read_hr_ = S_OK;
  ULONG last_read_bytes_ = 0;
  HRESULT stop_hr_ = S_OK;
  HRESULT end_hr_ = S_OK;
  const char* step_ = "";
  DWORD start_tick_ = 0;
  DWORD end_tick_ = 0;
};
