// The chunked transfer: read a chunk, announce it on the next timer tick,
// read the next one when the stream has handed the chunk out.
#include <cstdlib>

#include "base/text.h"
#include "base/win/held_ref.h"
#include "base/win/platform.h"
#include "delivery/resource_moniker.h"
#include "delivery/resource_stream.h"
#include "delivery/tracking.h"
#include "package/player_state.h"

using base::win::ADOPT_HOLD;
using base::win::HeldRef;
using base::win::QUERY_HOLD;
using delivery_detail::g_live;

namespace {

using text::append;
using text::append_decimal;

// The response a web server would send for the entry; malloc'd, or null.
char16_t* build_response_header(uint32_t size, const char16_t* content_type) {
  const size_t type_length = content_type ? text::length(content_type) : 0;
  auto* header = static_cast<char16_t*>(std::malloc((100 + type_length) * sizeof(char16_t)));
  if (!header) return nullptr;
  char16_t* out = append(header, u"HTTP/1.1 200 OK\r\nAccept-Range: bytes\r\nContent-Length: ");
  out = append_decimal(out, size);
  out = append(out, u"\r\n");
  if (content_type) {
    out = append(out, u"Content-Type: ");
    out = append(out, content_type);
    out = append(out, u"\r\n");
  }
  out = append(out, u"\r\n");
  *out = 0;
  return header;
}

}  // namespace

const char16_t* ResourceMoniker::reported_url() const {
  const ResourceEntry* entry = resource_entry(index_);
  return entry->alternate_url ? entry->alternate_url : entry->url;
}

// Only while disarmed. Without a window the system picks the id; with one,
// the moniker is the id.
bool ResourceMoniker::arm_timer() {
  const UINT_PTR wanted = window_ ? reinterpret_cast<UINT_PTR>(this) : 0;
  const UINT_PTR id = SetTimer(window_, wanted, 0, transfer_timer_step);
  if (!id) return false;
  ++g_live.timers;
  timer_ = window_ ? wanted : id;
  return true;
}

void ResourceMoniker::disarm_timer() {
  if (!timer_) return;
  KillTimer(window_, timer_);
  timer_ = 0;
  --g_live.timers;
}

void ResourceMoniker::close_file() {
  if (!file_.valid()) return;
  file_.reset();
  --g_live.files;
}

void ResourceMoniker::stop_binding(HRESULT status) {
  if (stop_sent_) return;
  stop_sent_ = true;
  callback_->OnStopBinding(status, nullptr);
}

void ResourceMoniker::end_transfer(HRESULT status) {
  state_ = TransferState::DONE;
  disarm_timer();
  close_file();
  if (stream_) stream_->end_feed(status);
  stop_binding(status);
}

STDMETHODIMP ResourceMoniker::Abort() {
  // urlmon has no binding before binding starts: nothing is marked then, so
  // the Abort that comes once a transfer runs still stops it.
  if (state_ == TransferState::IDLE) return S_OK;
  // As urlmon answers: a second Abort fails; one after the end changes nothing.
  if (aborted_) return E_FAIL;
  aborted_ = true;
  if (stopped()) return S_OK;
  // OnStopBinding may drop the last outside reference.
  HeldRef<IMoniker> self(this);
  end_transfer(E_ABORT);
  return S_OK;
}

bool ResourceMoniker::read_at(uint32_t offset) {
  if (delivery_detail::g_fail_file_reads) return false;
  DWORD got = 0;
  BOOL ok;
  if (is_nt_platform()) {
    request_ = {};
    request_.Offset = offset;
    ok = ReadFile(file_.get(), chunk_, chunk_size_, &got, &request_);
  } else {
    // The 9x family refuses an OVERLAPPED read on a disk file. The handle is
    // this moniker's own, so no other transfer moves its position.
    LONG high = 0;
    SetLastError(NO_ERROR);
    ok = (SetFilePointer(file_.get(), LONG(offset), &high, FILE_BEGIN) != INVALID_SET_FILE_POINTER ||
          GetLastError() == NO_ERROR) &&
         ReadFile(file_.get(), chunk_, chunk_size_, &got, nullptr);
  }
  // A file changed since loading must not pass stale buffer bytes off as data.
  return ok && got == chunk_size_;
}

void ResourceMoniker::read_chunk() {
  const ResourceEntry* entry = resource_entry(index_);
  if (!entry) {
    end_transfer(INET_E_DOWNLOAD_FAILURE);
    return;
  }
  const uint32_t size = uint32_t(entry->size);
  if (bytes_read_ >= size) {
    end_transfer(S_FALSE);
    return;
  }
  const uint32_t left = size - bytes_read_;
  if (left < chunk_size_) chunk_size_ = left;
  read_status_ = read_at(uint32_t(entry->data_offset) + bytes_read_) ? S_OK : INET_E_DOWNLOAD_FAILURE;
  state_ = TransferState::READING;
  // A timer still running from the last chunk keeps its rhythm: re-arming it
  // would push the next tick a full period away.
  if (!timer_ && !arm_timer()) {
    // A failure must never read as success, even without a last error.
    DWORD error = GetLastError();
    end_transfer(error ? HRESULT_FROM_WIN32(error) : E_FAIL);
  }
}

void ResourceMoniker::request_next_chunk() {
  // Only a stream that has handed out its whole chunk wants more; repeated
  // or stale messages find it otherwise and are ignored.
  if (state_ != TransferState::SERVING || !stream_ || !stream_->chunk_used_up()) return;
  HeldRef<IMoniker> self(this);
  read_chunk();
}

bool ResourceMoniker::notify_first_data(IBindStatusCallback* callback, uint32_t size) {
  const ResourceEntry* entry = resource_entry(index_);
  const wchar_t* url = as_wide(reported_url());
  HeldRef<IServiceProvider> provider(QUERY_HOLD, callback);
  HeldRef<IHttpNegotiate> negotiate;
  if (provider) {
    void** out = reinterpret_cast<void**>(negotiate.put());
    // What a failed call leaves in its out pointer is not ours to release.
    if (FAILED(provider->QueryService(IID_IHttpNegotiate, IID_IHttpNegotiate, out))) *out = nullptr;
  }
  // Any call may abort the binding; nothing more goes out after that.
  callback->OnProgress(1, size, BINDSTATUS_CONNECTING, url);
  if (stopped()) return false;
  if (negotiate) {
    base::win::HeldCoTaskMem<wchar_t> extra;
    negotiate->BeginningTransaction(url, nullptr, 0, extra.put());
    if (stopped()) return false;
  }
  callback->OnProgress(1, size, BINDSTATUS_SENDINGREQUEST, url);
  if (stopped()) return false;
  if (negotiate) {
    base::win::HeldMalloc<char16_t> header(build_response_header(size, entry->content_type));
    if (header.get()) {
      base::win::HeldCoTaskMem<wchar_t> extra;
      negotiate->OnResponse(200, as_wide(header.get()), nullptr, extra.put());
      if (stopped()) return false;
    }
  }
  if (entry->content_type) {
    callback->OnProgress(1, size, BINDSTATUS_MIMETYPEAVAILABLE, as_wide(entry->content_type));
    if (stopped()) return false;
  }
  callback->OnProgress(1, size, BINDSTATUS_BEGINDOWNLOADDATA, url);
  return !stopped();
}

void ResourceMoniker::timer_step() {
  // A tick that finds no chunk read means the control is not asking yet;
  // the next read arms the timer again.
  if (state_ != TransferState::READING) {
    disarm_timer();
    return;
  }
  // Any notification may drop the last outside references to the moniker
  // or the callback; the moniker, and through it the callback, stay alive to
  // the end of the step.
  HeldRef<IMoniker> self(this);
  IBindStatusCallback* callback = callback_.get();
  if (FAILED(read_status_)) {
    end_transfer(read_status_);
    return;
  }
  const uint32_t size = uint32_t(resource_entry(index_)->size);
  const uint32_t before = bytes_read_;
  const uint32_t length = chunk_size_;
  const bool first = before == 0;
  const bool last = before + length >= size;
  // The stream may be read, and the next chunk asked for, from inside any
  // notification: the chunk is in place and counted before the first one.
  bytes_read_ = before + length;
  state_ = last ? TransferState::DONE : TransferState::SERVING;
  if (last) {
    disarm_timer();
    close_file();
  }
  stream_->serve_chunk(length);
  if (last) stream_->end_feed(S_OK);

  DWORD flags;
  if (first) {
    if (!notify_first_data(callback, size)) return;
    flags = BSCF_FIRSTDATANOTIFICATION;
  } else if (!last) {
    callback->OnProgress(before, size, BINDSTATUS_DOWNLOADINGDATA, as_wide(reported_url()));
    if (stopped()) return;
    flags = BSCF_INTERMEDIATEDATANOTIFICATION;
  } else {
    flags = 0;
  }
  if (last) {
    callback->OnProgress(size, size, BINDSTATUS_ENDDOWNLOADDATA, as_wide(reported_url()));
    if (stopped()) return;
    flags |= BSCF_LASTDATANOTIFICATION;
  }

  STGMEDIUM medium = {};
  medium.tymed = TYMED_ISTREAM;
  IStream* stream = stream_;
  medium.pstm = stream;
  callback->OnDataAvailable(flags, size, nullptr, &medium);
  if (last) stop_binding(S_FALSE);
}

void read_next_chunk(ResourceMoniker* moniker) {
  if (ResourceMoniker* live = ResourceMoniker::find_live(moniker)) live->request_next_chunk();
}

void CALLBACK transfer_timer_step(HWND window, UINT, UINT_PTR timer, DWORD) {
  ResourceMoniker* moniker = ResourceMoniker::find_by_timer(window, timer);
  if (!moniker) {
    KillTimer(window, timer);
    return;
  }
  moniker->timer_step();
}
