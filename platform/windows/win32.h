// The one way <windows.h> comes into this program: lean, without the min/max
// macros that would break <algorithm>, and for Windows 7 and later.  The
// build names Windows 7 for every file (the top CMakeLists.txt), so that no
// header sees a newer Windows, whichever comes first.
#pragma once

#if !defined(_WIN32_WINNT) || _WIN32_WINNT != 0x0601 || !defined(WINVER) || WINVER != 0x0601
#error "the build must define _WIN32_WINNT and WINVER as 0x0601 (Windows 7) for every file"
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
