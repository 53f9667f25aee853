// The plug-in's own declarations beside the host interface: the module entry
// and the range reader that extraction uses.
#ifndef AXQ_PLUGIN_H
#define AXQ_PLUGIN_H

#include "platform/platform.h"
#include "plugin/spi.h"

extern "C" BOOL SPI_API DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

// Reads `size` bytes at archive offset `start` into a new movable block and
// stores its handle through handleOut (null on any failure). Returns SPI_OK,
// SPI_NO_MEMORY if the block cannot be had, or SPI_FILE_ERROR if the range
// does not lie inside the file (also for size 0) or the file ends before
// `size` bytes were read.
int32_t ReadRangeToMemory(HANDLE file, uint32_t start, uint32_t size, SpiBlock *handleOut);

#endif
