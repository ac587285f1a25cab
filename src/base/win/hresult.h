// Early return on a failed HRESULT.
#pragma once

#include <windows.h>

#define RETURN_IF_FAILED(expr)      \
  do {                              \
    const HRESULT hr_ = (expr);     \
    if (FAILED(hr_)) return hr_;    \
  } while (0)
