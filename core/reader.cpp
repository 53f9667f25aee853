// Reading many listed entries from an archive opened once. On Linux the
// entry lines are read through a window on the directory and parsed by the
// module's own code, so that what a command reads is what GetFile would
// hand over; on Windows every read is a GetFile.
#include "core/reader.h"

#include "platform/platform.h"

#ifndef _WIN32
#include "archive/archive.h"
#include "plugin/plugin.h"

#include <algorithm>
#endif

#ifdef _WIN32

void OpenEntryReader(const Archive &archive, EntryReader *reader) {
    *reader = EntryReader();
    reader->archive = &archive;
}

void CloseEntryReader(EntryReader *reader) { *reader = EntryReader(); }

int32_t ReadListedEntry(EntryReader *reader, const EntryRecord &record, EntryBytes *entry) {
    return ReadEntry(*reader->archive, record, entry);
}

#else

// The directory's window moves a large piece at a time: a million entry
// lines take a few dozen reads.
static constexpr uint32_t kWindow = 1u << 20;
// What GetFile reads of a line: the byte before it, then the line.
static constexpr uint32_t kProbe = kLineProbeSize + 1;

void OpenEntryReader(const Archive &archive, EntryReader *reader) {
    *reader = EntryReader();
    reader->archive = &archive;
    reader->file = CreateFileA(archive.pluginPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (reader->file == INVALID_HANDLE_VALUE)
        return;
    reader->listed = DescriptorUnchanged(archive, PlatformDescriptor(reader->file));
    char head[kHeadProbeSize + 1] = {}; // zero-terminated, as the module reads it
    ReadArchiveAt(reader->file, 0, head, kHeadProbeSize);
    reader->directorySize = DirectorySize(head);
}

void CloseEntryReader(EntryReader *reader) {
    if (reader->file != INVALID_HANDLE_VALUE)
        CloseHandle(reader->file);
    *reader = EntryReader();
}

bool ReaderUnchanged(const EntryReader &reader) {
    return reader.file != INVALID_HANDLE_VALUE && reader.listed &&
           DescriptorUnchanged(*reader.archive, PlatformDescriptor(reader.file));
}

int ReaderDescriptor(const EntryReader &reader) { return PlatformDescriptor(reader.file); }

// A refusal as ReadEntry gives it: the plug-in's result while the archive is
// the one listed, else kArchiveChanged.
static int32_t Refusal(const EntryReader &reader, int32_t result) {
    bool same = reader.file != INVALID_HANDLE_VALUE ? ReaderUnchanged(reader)
                                                    : ArchiveUnchanged(*reader.archive);
    return same || result == kArchiveChanged ? result : kArchiveChanged;
}

// The probe GetFile would read at `position`, from the window (moved there
// if it does not hold it); *got is its length, short where the file ends,
// and null past the file's end.
static const char *Probe(EntryReader *reader, uint32_t position, uint32_t *got) {
    uint64_t at = (uint64_t)position - 1;
    *got = 0;
    if (at >= reader->archive->state.size)
        return nullptr;
    uint64_t end = std::min<uint64_t>(at + kProbe, reader->archive->state.size);
    if (at < reader->from || end > reader->to) {
        // Up to the last line's probe: the entries' bytes are not wanted here.
        uint64_t want = std::max(reader->directorySize, position) + (uint64_t)kProbe - at;
        reader->window.resize(kWindow + 1); // its last byte stays zero
        uint32_t read = ReadArchiveAt(reader->file, (uint32_t)at, reader->window.data(),
                                      (uint32_t)std::min<uint64_t>(want, kWindow));
        reader->window[read] = '\0';
        reader->from = at;
        reader->to = at + read;
    }
    *got = reader->to > at ? (uint32_t)std::min<uint64_t>(reader->to - at, kProbe) : 0;
    return reader->window.data() + (at - reader->from);
}

int32_t LocateEntry(EntryReader *reader, const EntryRecord &record, uint64_t *start) {
    if (record.wrapped)
        return kOffsetPastFormat;
    if (reader->file == INVALID_HANDLE_VALUE || !reader->listed)
        return Refusal(*reader, SPI_FILE_ERROR);
    uint32_t got = 0, first = 0, size = 0;
    const char *probe = PositionInDirectory((intptr_t)record.position, reader->directorySize)
                            ? Probe(reader, record.position, &got)
                            : nullptr;
    if (probe == nullptr || EntryLineInProbe(probe, got, &first, &size) == nullptr)
        return Refusal(*reader, SPI_FILE_ERROR);
    // GetFile refuses a range outside the file before the size is compared.
    if ((uint64_t)first + size > reader->archive->state.size)
        return Refusal(*reader, SPI_FILE_ERROR);
    // A line that no longer gives the listed size is another entry's now.
    if (size != record.filesize)
        return kArchiveChanged;
    *start = first;
    return SPI_OK;
}

int32_t ReadListedEntry(EntryReader *reader, const EntryRecord &record, EntryBytes *entry) {
    *entry = EntryBytes();
    uint64_t start = 0;
    int32_t result = LocateEntry(reader, record, &start);
    if (result == SPI_OK)
        result = ReadRangeToMemory(reader->file, (uint32_t)start, record.filesize, &entry->block);
    if (result != SPI_OK)
        return Refusal(*reader, result);
    entry->size = (size_t)LocalSize(entry->block);
    entry->bytes = (const char *)LocalLock(entry->block);
    // Checked after the read: a change during it shows here.
    if (!ReaderUnchanged(*reader)) {
        FreeEntry(entry);
        return kArchiveChanged;
    }
    return SPI_OK;
}

#endif
