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
