#include "fetch.h"

#include <cstring>
#include <vector>

#include "fetcher.h"
#include "log.h"
#include "stage_info.h"

namespace {

// Bytes of a load kept for its script: test movies are small.
constexpr size_t KEEP_LIMIT = 1 << 20;

bool quiet() {
  char value[8];
  DWORD n = GetEnvironmentVariableA("TESSIVO_TEST_QUIET", value, sizeof value);
  return n > 0 && n < sizeof value && value[0] == '1';
}

const wchar_t* kind_name(LoadKind kind) {
  switch (kind) {
    case LoadKind::movie: return L"movie";
    case LoadKind::skin: return L"skin";
    case LoadKind::video: return L"video";
    default: return L"file";
  }
}

std::wstring hex32(uint32_t value) {
  wchar_t buf[12];
  wsprintfW(buf, L"%08x", value);
  return buf;
}

}  // namespace

uint32_t crc32_update(uint32_t crc, const unsigned char* data, size_t size) {
  static uint32_t table[256];
  if (!table[1]) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
  }
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

Load::Load(Fetcher* owner, int id, LoadKind kind, const std::wstring& url, const std::string* body,
           DWORD read_size, bool read_later)
    : owner_(owner),
      id_(id),
      kind_(kind),
      url_(url),
      post_(body != nullptr),
      body_(body ? *body : std::string()),
      read_size_(read_size ? read_size : 0x8000),
      read_later_(read_later) {
  if (post_) {
    // Owned by the load: the container gives back its reference instead.
    post_data_ = GlobalAlloc(GMEM_FIXED, body_.size() ? body_.size() : 1);
    if (post_data_ && !body_.empty()) std::memcpy(post_data_, body_.data(), body_.size());
  }
}

Load::~Load() {
  release_request();
  if (post_data_) GlobalFree(post_data_);
}

// Each field is cleared before its release: a release can end the load.
void Load::release_request() {
  if (IBinding* binding = binding_) {
    binding_ = nullptr;
    binding->Release();
  }
  if (IStream* stream = stream_) {
    stream_ = nullptr;
    stream->Release();
  }
  if (IMoniker* moniker = moniker_) {
    moniker_ = nullptr;
    moniker->Release();
  }
  if (IBindCtx* context = context_) {
    context_ = nullptr;
    context->RevokeObjectParam(const_cast<LPOLESTR>(L"_BSCB_Holder_"));
    context->Release();
  }
}

void Load::start(IServiceProvider* services) {
  started_ = true;
  start_tick_ = GetTickCount();
  {
    LogLine line("Request");
    line.number("load", id_).text("url", url_.c_str()).text("kind", kind_name(kind_));
    std::wstring wide(body_.begin(), body_.end());
    line.text("post", post_ ? wide.c_str() : nullptr);
  }
  IBindHost* host = nullptr;
  HRESULT hr = services ? services->QueryService(SID_SBindHost, IID_IBindHost,
                                                 reinterpret_cast<void**>(&host))
                        : E_NOINTERFACE;
  LogLine("BindHost").number("load", id_).number("hr", hr).flag("object", host != nullptr);
  if (FAILED(hr) || !host) {
    host = nullptr;
    return finish(FAILED(hr) ? hr : E_POINTER, "QueryService");
  }

  hr = CreateBindCtx(0, &context_);
  if (SUCCEEDED(hr))
    hr = context_->RegisterObjectParam(const_cast<LPOLESTR>(L"_BSCB_Holder_"),
                                       static_cast<IBindStatusCallback*>(this));
  if (FAILED(hr)) {
    host->Release();
    return finish(hr, "CreateBindCtx");
  }

  IMoniker* moniker = reinterpret_cast<IMoniker*>(0x1);
  hr = host->CreateMoniker(const_cast<LPOLESTR>(url_.c_str()), context_, &moniker, 0);
  host->Release();
  LogLine("CreateMoniker").number("load", id_).number("hr", hr).flag(
      "moniker", SUCCEEDED(hr) && moniker != nullptr);
  if (FAILED(hr) || !moniker) return finish(FAILED(hr) ? hr : E_POINTER, "CreateMoniker");
  moniker_ = moniker;

  IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
  AddRef();  // the load may end inside the bind
  hr = moniker_->BindToStorage(context_, nullptr, IID_IStream, reinterpret_cast<void**>(&object));
  LogLine("BindToStorage").number("load", id_).number("hr", hr).flag("object_null",
                                                                     object == nullptr);
  if (object && object != reinterpret_cast<IUnknown*>(0x1)) object->Release();
  if (FAILED(hr) && !finished_) finish(hr, "BindToStorage");
  Release();
}

void Load::finish(HRESULT result, const char* failed_step) {
  if (finished_) return;
  const char* step = failed_step ? failed_step : "OnStopBinding";
  end_hr_ = result;
  step_ = step;
  finished_ = true;
  LogLine("LoadEnded")
      .number("load", id_)
      .number("hr", result)
      .text("step", std::wstring(step, step + std::strlen(step)).c_str());
  if (owner_) owner_->load_done(id_);
}

void Load::read_available() {
  if (!stream_ || saw_end_) return;
  std::vector<unsigned char> buffer(read_size_);
  HRESULT hr;
  ULONG total = 0;
  for (;;) {
    ULONG got = 0;
    hr = stream_->Read(buffer.data(), read_size_, &got);
    ++reads_;
    if (got > read_size_) {
      LogLine("ReadOverrun").number("load", id_).number("got", got);
      got = read_size_;
    }
    if (got) {
      crc_ = crc32_update(crc_, buffer.data(), got);
      bytes_ += got;
      total += got;
      if (kept_.size() < KEEP_LIMIT)
        kept_.append(reinterpret_cast<char*>(buffer.data()),
                     got < KEEP_LIMIT - kept_.size() ? got : KEEP_LIMIT - kept_.size());
    }
    if (hr == S_OK && got > 0) continue;
    break;
  }
  if (hr == S_FALSE && !saw_end_) {
    saw_end_ = true;
    if (owner_ && kind_ == LoadKind::movie) owner_->movie_arrived();
  }
  if (hr != S_FALSE && hr != E_PENDING)
    LogLine("ReadResult").number("load", id_).number("hr", hr).number("bytes", total);
  last_read_hr_ = hr;
  last_read_bytes_ = total;
  if (total) end_tick_ = GetTickCount();  // the last byte's arrival
}

STDMETHODIMP Load::OnStartBinding(DWORD reserved, IBinding* binding) {
  LogLine("OnStartBinding").number("load", id_).number("reserved", reserved).flag(
      "binding", binding != nullptr);
  if (binding) {
    binding->AddRef();
    if (binding_) binding_->Release();
    binding_ = binding;
  }
  return S_OK;
}

STDMETHODIMP Load::OnProgress(ULONG progress, ULONG max, ULONG status, LPCWSTR text) {
  if (status == BINDSTATUS_DOWNLOADINGDATA && quiet()) return S_OK;
  LogLine("OnProgress")
      .number("load", id_)
      .number("progress", progress)
      .number("max", max)
      .number("status", status)
      .text("text", text);
  return S_OK;
}

STDMETHODIMP Load::OnStopBinding(HRESULT result, LPCWSTR error) {
  LogLine("OnStopBinding").number("load", id_).number("hr", result).text("error", error);
  // The binding goes now; the moniker when the load is cleaned up.
  if (IBinding* binding = binding_) {
    binding_ = nullptr;
    binding->Release();
  }
  stop_hr_ = result;
  finish(result, nullptr);
  return S_OK;
}

STDMETHODIMP Load::GetBindInfo(DWORD* flags, BINDINFO* info) {
  LogLine("GetBindInfo")
      .number("load", id_)
      .number("size", info ? static_cast<long long>(info->cbSize) : -1)
      .flag("post", post_);
  if (!flags || !info) return E_INVALIDARG;
  *flags = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA;
  ULONG size = info->cbSize;
  if (size > sizeof(BINDINFO)) size = sizeof(BINDINFO);
  if (size > sizeof(ULONG)) std::memset(reinterpret_cast<char*>(info) + sizeof(ULONG), 0,
                                        size - sizeof(ULONG));
  if (post_ && size >= offsetof(BINDINFO, dwOptions)) {
    info->dwBindVerb = BINDVERB_POST;
    info->stgmedData.tymed = TYMED_HGLOBAL;
    info->stgmedData.hGlobal = post_data_;
    // As a browser does: the body stays the load's, and the binder gives it
    // back by releasing this reference (ReleaseStgMedium).
    info->stgmedData.pUnkForRelease = static_cast<IBindStatusCallback*>(this);
    AddRef();
    info->cbstgmedData = DWORD(body_.size());
  }
  return S_OK;
}

STDMETHODIMP Load::OnDataAvailable(DWORD flags, DWORD size, FORMATETC* format, STGMEDIUM* medium) {
  ++data_calls_;
  bool same = true;
  if (medium && medium->tymed == TYMED_ISTREAM && medium->pstm) {
    if (!stream_) {
      stream_ = medium->pstm;
      stream_->AddRef();
    } else {
      same = stream_ == medium->pstm;
    }
  }
  unsigned long long before = bytes_;
  if (read_later_) {
    if (owner_) owner_->read_later(id_);
  } else {
    read_available();
  }
  if (flags == BSCF_INTERMEDIATEDATANOTIFICATION && quiet()) return S_OK;
  LogLine("OnDataAvailable")
      .number("load", id_)
      .number("flags", flags)
      .number("size", size)
      .flag("format", format != nullptr)
      .number("tymed", medium ? static_cast<long long>(medium->tymed) : -1)
      .flag("same_stream", same)
      .number("read", static_cast<long long>(bytes_ - before))
      .number("read_hr", read_later_ ? 0 : last_read_hr_);
  return S_OK;
}

STDMETHODIMP Load::QueryService(REFGUID service, REFIID iid, void** out) {
  bool negotiate = IsEqualIID(iid, IID_IHttpNegotiate);
  LogLine("CallbackService")
      .number("load", id_)
      .guid("service", service)
      .guid("iid", iid)
      .flag("answered", negotiate);
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!negotiate) return E_NOINTERFACE;
  *out = static_cast<IHttpNegotiate*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP Load::BeginningTransaction(LPCWSTR url, LPCWSTR headers, DWORD reserved,
                                        LPWSTR* additional) {
  LogLine("BeginningTransaction")
      .number("load", id_)
      .text("url", url)
      .text("headers", headers)
      .number("reserved", reserved);
  if (additional) {
    // As a browser would: the binder owns and frees this text.
    static const wchar_t extra[] = L"X-Standin: 1\r\n";
    *additional = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof extra));
    if (*additional) std::memcpy(*additional, extra, sizeof extra);
  }
  return S_OK;
}

STDMETHODIMP Load::OnResponse(DWORD code, LPCWSTR response, LPCWSTR request_headers,
                              LPWSTR* additional) {
  LogLine("OnResponse")
      .number("load", id_)
      .number("code", code)
      .text("header", response)
      .text("request_headers", request_headers);
  if (additional) *additional = nullptr;
  return S_OK;
}

void Load::report() {
  LogLine("Loaded")
      .number("load", id_)
      .text("url", url_.c_str())
      .text("kind", kind_name(kind_))
      .number("hr", end_hr_)
      .text("step", std::wstring(step_, step_ + std::strlen(step_)).c_str())
      .number("bytes", static_cast<long long>(bytes_))
      .text("crc", hex32(crc_).c_str())
      .flag("end", saw_end_)
      .number("data_calls", data_calls_)
      .number("reads", reads_)
      .number("start_tick", start_tick_)
      .number("end_tick", end_tick_);
  if (kind_ == LoadKind::movie) stage_note_movie(kept_);
  stage_note_load(url_, end_hr_, bytes_);
}

void Load::log_late_read() {
  LogLine("LateRead").number("load", id_).number("read", last_read_bytes_).number("hr",
                                                                                last_read_hr_);
}
