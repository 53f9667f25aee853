// The commands that take entries out of an archive: extract (to files under
// a folder) and cat (to standard output), from the archive opened once. The
// bytes go from the block read straight to their file, with no copy between.
#include "core/account.h"
#include "core/files.h"
#include "core/host.h"
#include "core/names.h"
#include "core/output.h"
#include "core/reader.h"
#include "cli/quorvel.h"
#include "core/select.h"
#include "core/translate.h"
#include "core/verdict.h"

#include <algorithm>
#include <errno.h>

// Extracts one entry under the target; returns why it could not, or "".
static std::string ExtractOne(EntryReader *reader, ExtractTarget *target, const EntryRecord &record,
                              const Encoding &encoding, bool overwrite, uint64_t *bytes,
                              bool *full) {
    std::string name, why;
    if (!RecordName(record, encoding, &name))
        return Format(_("the name is not valid %s (see --encoding)"), encoding.name.c_str());
    bool folder;
    Failure failure;
    if (!PlaceEntry(target, name, record.filesize, overwrite, &folder, &failure))
        return FailureMessage(failure);
    if (folder)
        return "";
    EntryBytes entry;
    int32_t result = ReadListedEntry(reader, record, &entry);
    if (result != SPI_OK)
        return ResultText(result);
    *bytes = entry.size;
    errno = 0;
    if (!WritePlacedFile(target, entry.bytes, entry.size, LastWriteTime(record.timestamp),
                         overwrite, &why))
#ifdef EDQUOT
        *full = errno == ENOSPC || errno == EDQUOT;
#else
        *full = errno == ENOSPC;
#endif
    FreeEntry(&entry);
    return why;
}

int Extract(const Options &options) {
    RemoveTemporaryOnInterrupt();
    Selection selection;
    int status = SelectEntries(options, &selection);
    if (status > kExitPartial)
        return status;
    std::vector<Failure> faults;
    ExamineDirectory(selection.archive, selection.listing, selection.encoding, &faults);
    PrintFaults(faults);
    // What the listing leaves out, or shows under a cut name, is not
    // extracted as stored: partly done.
    if (!faults.empty())
        status = std::max(status, kExitPartial);
    std::string why;
    ExtractTarget *target = OpenTarget(options.directory, &why);
    if (target == nullptr) {
        Error(options.directory, "%s", why.c_str());
        FreeSelection(&selection);
        return kExitArchive;
    }
    ProgressStart(selection.Count());
    EntryReader reader;
    OpenEntryReader(selection.archive, &reader);
    bool full = false;
    for (size_t i = 0; !full && i < selection.Count(); i++) {
        EntryRecord record = selection[i];
        uint64_t bytes = 0;
        why = ExtractOne(&reader, target, record, selection.encoding, options.overwrite, &bytes,
                         &full);
        if (!why.empty()) {
            Error(options.operands[0], "%s: %s", ShownName(record, selection.encoding).c_str(),
                  why.c_str());
            // A full disk takes every entry after this one too: the output
            // could not be used, and extraction stops.
            status = std::max(status, full ? kExitArchive : kExitPartial);
        }
        ProgressStep(bytes);
    }
    ProgressEnd();
    CloseEntryReader(&reader);
    CloseTarget(target);
    FreeSelection(&selection);
    return status;
}

int Cat(const Options &options) {
    Selection selection;
    int status = SelectEntries(options, &selection, true);
    if (status > kExitPartial)
        return status;
    BinaryOutput();
    EntryReader reader;
    OpenEntryReader(selection.archive, &reader);
    bool written = true;
    for (size_t i = 0; written && i < selection.Count(); i++) {
        EntryRecord record = selection[i];
#ifdef _WIN32
        // Through GetFile, a call per entry, as the module's hosts read.
        EntryBytes entry;
        int32_t result = ReadListedEntry(&reader, record, &entry);
        if (result == SPI_OK)
            written = WriteBytes(entry.bytes, entry.size);
        FreeEntry(&entry);
#else
        // Sent as it is read, by the kernel where it can: never held whole.
        uint64_t start = 0;
        bool ended = false;
        int32_t result = LocateEntry(&reader, record, &start);
        if (result == SPI_OK)
            written = SendBytes(ReaderDescriptor(reader), start, record.filesize, &ended);
        // A change shows after the bytes went out, whatever came before it.
        if (result == SPI_OK && (ended || !ReaderUnchanged(reader)))
            result = ReaderUnchanged(reader) ? SPI_FILE_ERROR : kArchiveChanged;
        written = written || ended;
#endif
        if (result != SPI_OK && written) {
            Error(options.operands[0], "%s: %s", ShownName(record, selection.encoding).c_str(),
                  ResultText(result));
            status = std::max(status, kExitArchive);
        }
    }
    CloseEntryReader(&reader);
    FreeSelection(&selection);
    if (!written || !FlushOutput())
        return kExitArchive;
    return status;
}
