// GetPluginInfo and IsSupported: the information rows and the test of a
// file's head and name.
#include "plugin.h"

#include "archive/archive.h"
#include "plugin/version.h"

#include <string.h>

static const char *const kInformation[] = {"00AM", AXQ_DESCRIPTION, "*.dat", "Quorvel archive"};
static constexpr int32_t kInformationRows = 4;
static constexpr uint32_t kHandleReadSize = 22;
static constexpr char kNameEnding[] = ".dat";
static constexpr int32_t kNameEndingLength = 4;

// Nothing to set up or tear down: the plug-in keeps no state across loads.
extern "C" BOOL SPI_API DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

const char *InformationRow(int32_t index) {
    return index >= 0 && index < kInformationRows ? kInformation[index] : nullptr;
}

int32_t SPI_API GetPluginInfo(int32_t index, char *buffer, int32_t bufferLength) {
    if (index < 0 || index >= kInformationRows || buffer == nullptr || bufferLength < 1)
        return 0;
    lstrcpynA(buffer, kInformation[index], bufferLength);
    return lstrlenA(buffer);
}

int32_t HeadIsArchive(uintptr_t source) {
    // Hosts pass a handle (a small number) or the address of the file's head.
    const void *head = (const void *)source;
    char read[kHandleReadSize];
    if ((source >> 16) == 0) {
        if (ReadArchive((HANDLE)source, read, kHandleReadSize) < (uint32_t)kMagicSize)
            return 0;
        head = read;
    }
    return memcmp(head, kMagic, kMagicSize) == 0;
}

int32_t SPI_API IsSupported(const char *fileName, uintptr_t source) {
    if (fileName == nullptr || !HeadIsArchive(source))
        return 0;
    int32_t length = lstrlenA(fileName);
    return length >= kNameEndingLength &&
           lstrcmpiA(fileName + length - kNameEndingLength, kNameEnding) == 0;
}
