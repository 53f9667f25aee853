// The one platform header. The plug-in's logic uses a handful of Win32 file,
// time, memory and string services; on Windows they come from the system, and
// on the native build from a small stand-in with the same names and behaviour.
#ifndef AXQ_PLATFORM_H
#define AXQ_PLATFORM_H

#include <stdint.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "winstub.h"
#endif

#endif
