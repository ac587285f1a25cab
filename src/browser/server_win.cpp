#include <winsock2.h>

#include "browser/server.h"

#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "base/win/platform.h"
#include "base/win/settings_store.h"
#include "browser/http.h"
#include "package/platform.h"
#include "package/player_state.h"
#include "resolve/resolve_win.h"

using browser::Text;

namespace {

constexpr int32_t MAX_CONNECTIONS = 32;
constexpr int32_t OUT_SIZE = 0x10000;
// What one socket message may send before it lets other messages in.
constexpr int32_t SEND_SLICE = 0x100000;
constexpr int32_t DEFAULT_VOLUME = 100;

// Winsock is loaded at run time: the import table stays what every system
// has, and a system without a network still starts.
struct Winsock {
  int(WINAPI* startup)(WORD, WSADATA*);
  int(WINAPI* cleanup)();
  SOCKET(WINAPI* socket)(int, int, int);
  int(WINAPI* bind)(SOCKET, const sockaddr*, int);
  int(WINAPI* listen)(SOCKET, int);
  int(WINAPI* getsockname)(SOCKET, sockaddr*, int*);
  SOCKET(WINAPI* accept)(SOCKET, sockaddr*, int*);
  int(WINAPI* recv)(SOCKET, char*, int, int);
  int(WINAPI* send)(SOCKET, const char*, int, int);
  int(WINAPI* closesocket)(SOCKET);
  int(WINAPI* async_select)(SOCKET, HWND, u_int, long);
  int(WINAPI* last_error)();
};
const char* const WINSOCK_NAMES[] = {
    "WSAStartup", "WSACleanup", "socket", "bind",        "listen",         "getsockname",
    "accept",     "recv",       "send",   "closesocket", "WSAAsyncSelect", "WSAGetLastError"};
static_assert(sizeof(Winsock) == sizeof WINSOCK_NAMES, "one name per call");

template <class F>
F proc(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

enum State : int32_t { READ_HEAD, READ_BODY, SEND };

struct Connection {
  SOCKET socket;
  State state;
  char* in;  // HEAD_LIMIT + 1 bytes: the head being read, and what follows it
  int32_t in_len;
  char* body;  // a POST body being read
  int32_t body_len, body_want;
  browser::RequestHead head;  // its texts point into in
  browser::Decision decision;
  int32_t consumed;  // bytes of in that the current request took
  char* out;  // OUT_SIZE bytes: the answer's head, then its body piece by piece
  int32_t out_len, out_sent;
  int32_t file_pos, file_left;  // the rest of the body in the exe file
  bool close_after, peer_closed;
};

struct Server {
  HMODULE dll;
  Winsock ws;
  HWND window;
  BrowserCallback* callback;
  SOCKET listener;
  char origin[24];  // 127.0.0.1:PORT
  char token[33];
  char url[80];
  HANDLE file;  // the exe, read by every answer in turn
  Connection* connections[MAX_CONNECTIONS];
  BrowserCounts counts;
};

Server g_server;
bool g_running;

// Seeds from RtlGenRandom where the system has it, else from what differs
// between runs and processes.
void make_token(char* out) {
  uint8_t bytes[16] = {};
  bool random = false;
  if (HMODULE advapi = LoadLibraryA("advapi32.dll")) {
    using GenRandom = BOOLEAN(WINAPI*)(void*, ULONG);
    auto gen = proc<GenRandom>(advapi, "SystemFunction036");
    random = gen && gen(bytes, sizeof bytes);
    FreeLibrary(advapi);
  }
  if (!random) {
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    uint32_t h = GetTickCount() ^ GetCurrentProcessId() << 16 ^ uint32_t(counter.LowPart);
    for (uint8_t& b : bytes) {
      h = (h ^ (h >> 15)) * 0x2C1B3C6D + uint32_t(counter.HighPart);
      h ^= h >> 13;
      b = uint8_t(h >> 24);
    }
  }
  static const char HEX[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = HEX[bytes[i] >> 4];
    out[2 * i + 1] = HEX[bytes[i] & 15];
  }
  out[32] = 0;
}

char* put(char* p, const char* s) {
  size_t n = std::strlen(s);
  std::memcpy(p, s, n);
  return p + n;
}

// A wide header value as ASCII; other characters have no place in a header.
char* put_ascii(char* p, const char16_t* s, int32_t room) {
  for (; s && *s && room > 0; ++s, --room)
    if (*s >= 0x20 && *s < 0x7F) *p++ = char(*s);
  return p;
}

int32_t index_of(SOCKET s) {
  for (int32_t i = 0; i < MAX_CONNECTIONS; ++i)
    if (g_server.connections[i] && g_server.connections[i]->socket == s) return i;
  return -1;
}

void close_connection(Connection* c) {
  for (auto& slot : g_server.connections)
    if (slot == c) slot = nullptr;
  g_server.ws.closesocket(c->socket);
  std::free(c->in);
  std::free(c->out);
  std::free(c->body);
  std::free(c);
}

// Starts an answer: status line and the fields every answer has. The caller
// adds its own fields, then finish_head.
char* begin_answer(Connection* c, int32_t status) {
  c->out_len = c->out_sent = 0;
  c->file_left = 0;
  // The reason phrase may be empty; nothing reads it.
  char* p = c->out + wsprintfA(c->out,
                               "HTTP/1.1 %d \r\nCache-Control: no-store\r\n"
                               "X-Content-Type-Options: nosniff\r\n",
                               status);
  if (c->close_after) p = put(p, "Connection: close\r\n");
  return p;
}

// Ends the head; body bytes (text or from the file) follow unless HEAD.
void finish_head(Connection* c, char* p, int32_t length, const char* text = nullptr,
                 int32_t file_pos = 0) {
  p += wsprintfA(p, "Content-Length: %d\r\n\r\n", length);
  bool head_only = browser::text_is(c->head.method, "HEAD");
  if (text && !head_only) p = put(p, text);
  c->out_len = int32_t(p - c->out);
  if (!text && !head_only) {
    c->file_pos = file_pos;
    c->file_left = length;
  }
  c->state = SEND;
}

void answer_text(Connection* c, int32_t status, const char* text) {
  char* p = begin_answer(c, status);
  if (status == 405) p = put(p, "Allow: GET, HEAD, POST\r\n");
  p = put(p, "Content-Type: text/plain; charset=utf-8\r\n");
  finish_head(c, p, int32_t(std::strlen(text)), text);
}

void refuse(Connection* c, int32_t status) {
  // After a refusal nothing more of this connection is read.
  c->close_after = true;
  c->consumed = c->in_len;
  answer_text(c, status, "");
}

void answer_runtime(Connection* c, Text name) {
  char16_t wide[64];
  if (name.n >= 64) return answer_text(c, 404, "");
  for (int32_t i = 0; i < name.n; ++i) wide[i] = char16_t(uint8_t(name.p[i]));
  wide[name.n] = 0;
  const RuntimeFile* f = runtime_file(find_runtime_file(wide));
  if (!f) return answer_text(c, 404, "");
  if (!browser::accepts_coding(c->head.accept_encoding, f->coding))
    return answer_text(c, 406, "Use a current Chrome, Edge, Firefox or Safari.");
  char* p = begin_answer(c, 200);
  p = put(p, "X-Frame-Options: DENY\r\nContent-Type: ");
  p = put_ascii(p, f->content_type, 200);
  if (*f->coding) {
    p = put(p, "\r\nContent-Encoding: ");
    p = put_ascii(p, f->coding, 40);
  }
  p = put(p, "\r\n");
  finish_head(c, p, f->size, nullptr, f->data_offset);
}

void answer_request(Connection* c, Text query) {
  char16_t* url = browser::decode_query(query);
  if (!url) return refuse(c, 500);
  int32_t index = -1;
  bool post = browser::text_is(c->head.method, "POST");
  resolve_request_body(url, post ? c->body : nullptr, post ? uint32_t(c->body_len) : 0, &index);
  const ResourceEntry* e = resource_entry(index);
  if (!e) {
    report_unanswered(url);
    std::free(url);
    ++g_server.counts.missed;
    if (g_server.callback) g_server.callback->counts_changed();
    return answer_text(c, 404, "");
  }
  std::free(url);
  ++g_server.counts.answered;
  if (g_server.callback) g_server.callback->counts_changed();
  char* p = begin_answer(c, 200);
  if (e->content_type) {
    p = put(p, "Content-Type: ");
    p = put_ascii(p, e->content_type, 200);
    p = put(p, "\r\n");
  }
  finish_head(c, p, e->size, nullptr, e->data_offset);
}

void answer_volume(Connection* c) {
  if (browser::text_is(c->head.method, "POST")) {
    char16_t text[32];
    int32_t n = 0;
    for (; n < c->body_len && n < 31; ++n) text[n] = char16_t(uint8_t(c->body[n]));
    text[n] = 0;
    if (g_server.callback) g_server.callback->volume_posted(text);
    char* p = begin_answer(c, 204);
    finish_head(c, p, 0, "");
    return;
  }
  char digits[16];
  wsprintfA(digits, "%d", read_setting("svol", DEFAULT_VOLUME));
  char* p = begin_answer(c, 200);
  p = put(p, "Content-Type: text/plain; charset=utf-8\r\n");
  finish_head(c, p, int32_t(std::strlen(digits)), digits);
}

void answer(Connection* c, const browser::Decision& d) {
  switch (d.route) {
    case browser::ROUTE_RUNTIME:
      return answer_runtime(c, d.name);
    case browser::ROUTE_REQUEST:
      return answer_request(c, d.query);
    case browser::ROUTE_VOLUME:
      return answer_volume(c);
    case browser::ROUTE_FIRST_FRAME: {
      if (!g_server.counts.first_frame) {
        g_server.counts.first_frame = true;
        if (g_server.callback) g_server.callback->counts_changed();
      }
      char* p = begin_answer(c, 204);
      return finish_head(c, p, 0, "");
    }
  }
}

// A whole head is in the buffer: decide, and read a body when one comes.
// The head stays where it is until the answer is out, so its texts hold.
void start_request(Connection* c, int32_t head_len) {
  browser::RequestHead& h = c->head;
  bool parsed = browser::parse_head(c->in, head_len, &h);
  c->consumed = c->in_len;  // a refusal drops everything read
  c->close_after = !parsed || h.close || (h.http10 && !h.keep_alive);
  if (!parsed) return refuse(c, 400);
  c->decision = browser::route_request(h, g_server.origin, g_server.token);
  if (c->decision.status) return refuse(c, c->decision.status);
  if (h.chunked || h.bad_length) return refuse(c, h.chunked ? 411 : 400);
  int64_t length = h.content_length < 0 ? 0 : h.content_length;
  if (length > browser::BODY_LIMIT) return refuse(c, 413);
  c->body_want = int32_t(length);
  c->body_len = 0;
  if (length > 0) {
    c->body = static_cast<char*>(std::malloc(size_t(length)));
    if (!c->body) return refuse(c, 413);
    int32_t rest = c->in_len - head_len;
    int32_t take = rest < c->body_want ? rest : c->body_want;
    std::memcpy(c->body, c->in + head_len, size_t(take));
    c->body_len = take;
    head_len += take;
  }
  c->consumed = head_len;
  if (c->body_len < c->body_want) {
    c->state = READ_BODY;
    return;
  }
  answer(c, c->decision);
}

// Reads what has come and answers whole requests, one at a time.
void read_more(Connection* c) {
  for (;;) {
    if (c->state == SEND) return;
    if (c->state == READ_HEAD) {
      int32_t head_len = browser::head_length(c->in, c->in_len);
      if (head_len) {
        start_request(c, head_len);
        continue;
      }
      if (c->in_len > browser::HEAD_LIMIT) {
        c->consumed = c->in_len;
        c->close_after = true;
        refuse(c, 431);
        continue;
      }
      if (c->peer_closed) return;
      int got = g_server.ws.recv(c->socket, c->in + c->in_len, browser::HEAD_LIMIT + 1 - c->in_len, 0);
      if (got <= 0) {
        if (got == 0 || g_server.ws.last_error() != WSAEWOULDBLOCK) c->peer_closed = true;
        return;
      }
      c->in_len += got;
    } else {
      if (c->peer_closed) return;
      int got = g_server.ws.recv(c->socket, c->body + c->body_len, c->body_want - c->body_len, 0);
      if (got <= 0) {
        if (got == 0 || g_server.ws.last_error() != WSAEWOULDBLOCK) c->peer_closed = true;
        return;
      }
      c->body_len += got;
      if (c->body_len == c->body_want) answer(c, c->decision);
    }
  }
}

// Appends the body's next piece to what is still to send.
bool read_file_piece(Connection* c) {
  int32_t room = OUT_SIZE - c->out_len;
  int32_t want = c->file_left < room ? c->file_left : room;
  if (SetFilePointer(g_server.file, c->file_pos, nullptr, FILE_BEGIN) ==
      INVALID_SET_FILE_POINTER)
    return false;
  DWORD got = 0;
  if (!ReadFile(g_server.file, c->out + c->out_len, DWORD(want), &got, nullptr) || got == 0)
    return false;
  c->out_len += int32_t(got);
  c->file_pos += int32_t(got);
  c->file_left -= int32_t(got);
  return true;
}

// Sends what is due; true while the connection lives.
bool write_more(Connection* c) {
  int32_t sent_now = 0;
  while (c->state == SEND) {
    if (c->out_sent == c->out_len) c->out_sent = c->out_len = 0;
    // The head and the body's first piece leave together: a small answer is
    // one segment, which no delayed acknowledgement holds back.
    if (c->out_sent == 0 && c->file_left > 0 && c->out_len < OUT_SIZE && !read_file_piece(c))
      return false;
    if (c->out_len == 0) {
      // The answer is out; what came after the request is the next one.
      std::free(c->body);
      c->body = nullptr;
      c->body_len = c->body_want = 0;
      std::memmove(c->in, c->in + c->consumed, size_t(c->in_len - c->consumed));
      c->in_len -= c->consumed;
      c->consumed = 0;
      c->state = READ_HEAD;
      return !c->close_after;
    }
    if (sent_now >= SEND_SLICE) {
      PostMessageA(g_server.window, MSG_BROWSER_SOCKET, WPARAM(c->socket), FD_WRITE);
      return true;
    }
    int n = g_server.ws.send(c->socket, c->out + c->out_sent, c->out_len - c->out_sent, 0);
    if (n <= 0) return n < 0 && g_server.ws.last_error() == WSAEWOULDBLOCK;
    c->out_sent += n;
    sent_now += n;
  }
  return true;
}

void pump(Connection* c) {
  for (;;) {
    read_more(c);
    if (c->state != SEND) break;
    if (!write_more(c)) return close_connection(c);
    if (c->state == SEND) return;  // the rest once the socket takes more
  }
  // Every whole request that came before the peer's end has been answered.
  if (c->peer_closed) close_connection(c);
}

void accept_connection() {
  SOCKET s = g_server.ws.accept(g_server.listener, nullptr, nullptr);
  if (s == INVALID_SOCKET) return;
  int32_t free_slot = -1;
  for (int32_t i = 0; i < MAX_CONNECTIONS && free_slot < 0; ++i)
    if (!g_server.connections[i]) free_slot = i;
  auto* c = free_slot < 0 ? nullptr : static_cast<Connection*>(std::calloc(1, sizeof(Connection)));
  if (c) {
    c->socket = s;
    c->in = static_cast<char*>(std::malloc(browser::HEAD_LIMIT + 1));
    c->out = static_cast<char*>(std::malloc(OUT_SIZE));
  }
  if (!c || !c->in || !c->out ||
      g_server.ws.async_select(s, g_server.window, MSG_BROWSER_SOCKET, FD_READ | FD_WRITE | FD_CLOSE)) {
    if (c) {
      std::free(c->in);
      std::free(c->out);
      std::free(c);
    }
    g_server.ws.closesocket(s);
    return;
  }
  g_server.connections[free_slot] = c;
}

}  // namespace

bool start_browser_server(HWND window, BrowserCallback* callback) {
  if (g_running) return true;
  Server& s = g_server;
  s.window = window;
  s.callback = callback;
  s.counts = BrowserCounts{};
  s.dll = LoadLibraryA("ws2_32.dll");
  if (!s.dll) s.dll = LoadLibraryA("wsock32.dll");
  if (!s.dll) return false;
  auto* calls = reinterpret_cast<FARPROC*>(&s.ws);
  for (size_t i = 0; i < sizeof WINSOCK_NAMES / sizeof *WINSOCK_NAMES; ++i) {
    calls[i] = GetProcAddress(s.dll, WINSOCK_NAMES[i]);
    if (!calls[i]) {
      FreeLibrary(s.dll);
      return false;
    }
  }
  WSADATA data;
  if (s.ws.startup(MAKEWORD(1, 1), &data)) {
    FreeLibrary(s.dll);
    return false;
  }
  s.file = platform_create_file(get_executable_path(), GENERIC_READ, FILE_SHARE_READ,
                                OPEN_EXISTING, FILE_ATTRIBUTE_READONLY);
  s.listener = s.ws.socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = 0x0100007F;  // 127.0.0.1 in network order
  int length = sizeof address;
  if (s.file == INVALID_HANDLE_VALUE || s.listener == INVALID_SOCKET ||
      s.ws.bind(s.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
      s.ws.listen(s.listener, SOMAXCONN) ||
      s.ws.getsockname(s.listener, reinterpret_cast<sockaddr*>(&address), &length) ||
      s.ws.async_select(s.listener, window, MSG_BROWSER_SOCKET, FD_ACCEPT)) {
    if (s.listener != INVALID_SOCKET) s.ws.closesocket(s.listener);
    if (s.file != INVALID_HANDLE_VALUE) CloseHandle(s.file);
    s.ws.cleanup();
    FreeLibrary(s.dll);
    return false;
  }
  int port = (address.sin_port & 0xFF) << 8 | (address.sin_port >> 8 & 0xFF);
  make_token(s.token);
  wsprintfA(s.origin, "127.0.0.1:%d", port);
  wsprintfA(s.url, "http://%s/%s/", s.origin, s.token);
  g_running = true;
  return true;
}

void stop_browser_server() {
  if (!g_running) return;
  g_running = false;
  for (Connection* c : g_server.connections)
    if (c) close_connection(c);
  g_server.ws.closesocket(g_server.listener);
  g_server.ws.cleanup();
  FreeLibrary(g_server.dll);
  CloseHandle(g_server.file);
  g_server.url[0] = 0;
}

bool browser_server_running() { return g_running; }

void on_browser_socket(WPARAM socket, LPARAM event) {
  if (!g_running) return;
  SOCKET s = SOCKET(socket);
  WORD what = WSAGETSELECTEVENT(event);
  if (s == g_server.listener) {
    if (what == FD_ACCEPT) accept_connection();
    return;
  }
  int32_t i = index_of(s);
  if (i < 0) return;
  Connection* c = g_server.connections[i];
  // No event is taken on trust: one posted for a socket closed since may
  // arrive for a new one given the same handle. recv tells the peer's end.
  if (what == FD_WRITE && c->state != SEND) return;
  pump(c);
}

const char* browser_start_url() { return g_server.url; }
const BrowserCounts& browser_counts() { return g_server.counts; }

bool open_in_browser() {
  if (!g_running) return false;
  HMODULE shell = LoadLibraryA("shell32.dll");
  if (!shell) return false;
  bool ok = false;
  if (is_nt_platform()) {
    using Execute = HINSTANCE(WINAPI*)(HWND, const wchar_t*, const wchar_t*, const wchar_t*,
                                       const wchar_t*, int);
    auto execute = proc<Execute>(shell, "ShellExecuteW");
    wchar_t url[80];
    int i = 0;
    for (; g_server.url[i]; ++i) url[i] = wchar_t(g_server.url[i]);
    url[i] = 0;
    ok = execute && reinterpret_cast<INT_PTR>(
                        execute(g_server.window, L"open", url, nullptr, nullptr, SW_SHOWNORMAL)) > 32;
  } else {
    using Execute = HINSTANCE(WINAPI*)(HWND, const char*, const char*, const char*, const char*, int);
    auto execute = proc<Execute>(shell, "ShellExecuteA");
    ok = execute && reinterpret_cast<INT_PTR>(execute(g_server.window, "open", g_server.url,
                                                      nullptr, nullptr, SW_SHOWNORMAL)) > 32;
  }
  FreeLibrary(shell);
  return ok;
}
