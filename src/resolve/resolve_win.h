// The Windows side of request resolution: the POST body through the bind
// context, and the answer in the form that IBindHost::CreateMoniker needs.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstdint>

// Base64 text of the request's POST body, or null when there is none or it
// cannot be read. The caller frees it with free.
char* read_post_key(IBindCtx* bind_context);

// MK_E_SYNTAX for a URL that is not served; otherwise S_OK with the entry
// index, or -1, in *index.
HRESULT resolve_request(const char16_t* url, IBindCtx* bind_context, int32_t* index);

// The same decision for a request whose body came as bytes (null or length 0:
// none), as the browser's requests bring it.
HRESULT resolve_request_body(const char16_t* url, const void* body, uint32_t length,
                             int32_t* index);

// Writes "Tessivo: not in the package: URL" to the debug output, for every
// request that is answered with nothing.
void report_unanswered(const char16_t* url);
