// The line stream over raw bytes. Where lines end does not depend on text
// mode (only an LF ends a line), and a line written back is its raw bytes with
// a CR put before a bare LF; so copying is raw copying, and only the trimmed
// start and the last characters of a line are ever decoded.
#include "inf/linestream.h"
#include "inf/sourceline.h"

namespace {

enum { BUFFER_SIZE = 64 * 1024, CTRL_Z = 0x1A };

struct SourceStream {
    HANDLE file;
    Offset bufferStart; // file offset of buffer[0]; the file pointer stands at bufferStart + length
    DWORD length;       // bytes in the buffer
    DWORD next;         // index of the next byte to read
    bool stopped;       // a Ctrl-Z was seen in the buffer: nothing after it is ever read
    bool failed;        // a read or seek failed; reading then ends as at the end of the data
    BYTE buffer[BUFFER_SIZE];
};

struct WorkStream {
    HANDLE file;
    DWORD length;
    bool failed;   // a write failed; nothing more is written
    bool lineOpen; // the last byte written is not an LF
    BYTE buffer[BUFFER_SIZE];
};

SourceStream Source;
WorkStream Work;

// ---- source ----------------------------------------------------------------

Offset SourcePosition()
{
    return Source.bufferStart + Source.next;
}

bool FillSource()
{
    if (Source.failed || Source.stopped)
        return false;
    Source.bufferStart += Source.length;
    Source.next = Source.length = 0;
    DWORD got = 0;
    if (!ReadFile(Source.file, Source.buffer, BUFFER_SIZE, &got, NULL)) {
        Source.failed = true;
        return false;
    }
    const void *ctrlZ = memchr(Source.buffer, CTRL_Z, got);
    if (ctrlZ) {
        got = (DWORD)((const BYTE *)ctrlZ - Source.buffer);
        Source.stopped = true;
    }
    Source.length = got;
    return got > 0;
}

void SeekSource(Offset position)
{
    if (position >= Source.bufferStart && position <= Source.bufferStart + Source.length) {
        Source.next = (DWORD)(position - Source.bufferStart);
        return;
    }
    LONG high = (LONG)(position >> 32);
    SetLastError(NO_ERROR);
    if (SetFilePointer(Source.file, (LONG)(DWORD)position, &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
        Source.failed = true;
    Source.bufferStart = position;
    Source.next = Source.length = 0;
    Source.stopped = false; // a Ctrl-Z beyond here is found again when the buffer is refilled
}

void TakeIntoLine(Line &line, const BYTE *bytes, DWORD count)
{
    DWORD i = 0;
    while (!line.trimmed && i < count) {
        if (bytes[i] == ' ' || bytes[i] == '\t') {
            line.blanks++;
            i++;
        } else {
            line.trimmed = true;
        }
    }
    line.trimmedRaw += count - i;
    DWORD room = HEAD_SIZE - line.headLength;
    DWORD kept = count - i < room ? count - i : room;
    memcpy(line.head + line.headLength, bytes + i, kept);
    line.headLength += kept;

    // Keep the last raw bytes, oldest first.
    const DWORD size = sizeof line.tail;
    if (count >= size) {
        memcpy(line.tail, bytes + count - size, size);
        line.tailLength = size;
        return;
    }
    DWORD keep = line.tailLength + count > size ? size - count : line.tailLength;
    for (DWORD k = 0; k < keep; k++)
        line.tail[k] = line.tail[line.tailLength - keep + k];
    memcpy(line.tail + keep, bytes, count);
    line.tailLength = keep + count;
}

bool EndsWithMarker(const Line &line)
{
    if (DecodedLength(line) < INSTALL_MARKER_LENGTH)
        return false;
    char last[INSTALL_MARKER_LENGTH];
    DWORD n = line.tailLength;
    if (EndsWithCrLf(line)) { // the CR of the pair is not delivered
        if (n < INSTALL_MARKER_LENGTH + 1)
            return false;
        memcpy(last, line.tail + n - INSTALL_MARKER_LENGTH - 1, INSTALL_MARKER_LENGTH - 1);
        last[INSTALL_MARKER_LENGTH - 1] = '\n';
    } else {
        if (n < INSTALL_MARKER_LENGTH)
            return false;
        memcpy(last, line.tail + n - INSTALL_MARKER_LENGTH, INSTALL_MARKER_LENGTH);
    }
    return memcmp(last, INSTALL_MARKER, INSTALL_MARKER_LENGTH) == 0;
}

// ---- work ------------------------------------------------------------------

void FlushWork()
{
    if (Work.failed || Work.length == 0) {
        Work.length = 0;
        return;
    }
    DWORD written = 0;
    if (!WriteFile(Work.file, Work.buffer, Work.length, &written, NULL) || written != Work.length)
        Work.failed = true;
    Work.length = 0;
}

void WriteBytes(const void *bytes, DWORD count)
{
    const BYTE *from = (const BYTE *)bytes;
    if (count > 0)
        Work.lineOpen = from[count - 1] != '\n';
    while (count > 0 && !Work.failed) {
        if (Work.length == BUFFER_SIZE)
            FlushWork();
        DWORD room = BUFFER_SIZE - Work.length;
        DWORD take = count < room ? count : room;
        memcpy(Work.buffer + Work.length, from, take);
        Work.length += take;
        from += take;
        count -= take;
    }
}

// Writes raw source bytes as text mode would write them back: a bare LF
// becomes CR LF; everything else, a lone CR included, is written as it is.
void WriteRaw(const BYTE *bytes, DWORD count, BYTE &previous)
{
    const BYTE *end = bytes + count;
    const BYTE *from = bytes; // not yet written
    const BYTE *scan = bytes;
    while (scan < end) {
        const BYTE *lf = (const BYTE *)memchr(scan, '\n', (size_t)(end - scan));
        if (!lf)
            break;
        BYTE before = lf > bytes ? lf[-1] : previous;
        if (before != '\r') {
            WriteBytes(from, (DWORD)(lf - from));
            WriteBytes("\r\n", 2);
            from = lf + 1;
        }
        scan = lf + 1;
    }
    WriteBytes(from, (DWORD)(end - from));
    if (count > 0)
        previous = end[-1];
}

// Copies the source's lines from `from` up to `to` (both line starts; `to`
// may be beyond the data) and leaves the source at `to` or at the end.
void CopyRange(Offset from, Offset to)
{
    SeekSource(from);
    BYTE previous = 0; // a range starts at a line start, so no CR stands before it
    while (SourcePosition() < to) {
        if (Source.next == Source.length && !FillSource())
            break;
        DWORD available = Source.length - Source.next;
        Offset left = to - SourcePosition();
        DWORD take = left < available ? (DWORD)left : available;
        WriteRaw(Source.buffer + Source.next, take, previous);
        Source.next += take;
    }
}

const Offset END_OF_DATA = ~(Offset)0;

// Looks ahead for the first line matching `prefix`; gives its range and puts
// the source back where it was.
bool FindLine(LPCSTR prefix, Line &found)
{
    Offset origin = SourcePosition();
    DWORD length = (DWORD)lstrlenA(prefix);
    bool matched = false;
    for (;;) {
        // A line that lies in the buffer and whose first character after the
        // blanks differs from the prefix's is passed over in the buffer. Any
        // other line is read in full; a CR may stand for the LF of a CR LF.
        if (length > 0 && Source.next < Source.length) {
            const BYTE *at = Source.buffer + Source.next;
            const BYTE *end = Source.buffer + Source.length;
            while (at < end && (*at == ' ' || *at == '\t'))
                at++;
            if (at < end && *at != '\r' && Folded((char)*at) != Folded(prefix[0])) {
                const BYTE *lf = (const BYTE *)memchr(at, '\n', (size_t)(end - at));
                if (lf) {
                    Source.next = (DWORD)(lf + 1 - Source.buffer);
                    continue;
                }
            }
        }
        if (!ReadLine(found))
            break;
        if (MatchesPrefix(found, prefix, length)) {
            matched = true;
            break;
        }
    }
    SeekSource(origin);
    return matched;
}

} // namespace

// ---- lines (inf/sourceline.h) ----------------------------------------------

bool ReadLine(Line &line)
{
    line.start = SourcePosition();
    line.blanks = line.headLength = line.tailLength = 0;
    line.trimmed = false;
    line.trimmedRaw = 0;
    for (;;) {
        if (Source.next == Source.length && !FillSource())
            break;
        const BYTE *from = Source.buffer + Source.next;
        DWORD available = Source.length - Source.next;
        const BYTE *lf = (const BYTE *)memchr(from, '\n', available);
        DWORD take = lf ? (DWORD)(lf - from) + 1 : available;
        TakeIntoLine(line, from, take);
        Source.next += take;
        if (lf)
            break;
    }
    line.end = SourcePosition();
    if (line.end == line.start)
        return false;
    // CR LF reads as LF: mend the decoded head where it reaches the line's end.
    if (EndsWithCrLf(line) && line.headLength == line.trimmedRaw && line.headLength >= 2) {
        line.headLength--;
        line.head[line.headLength - 1] = '\n';
    }
    return true;
}

void RewindSource()
{
    SeekSource(0);
}

// ---- streams ---------------------------------------------------------------

bool OpenSourceStream(LPCSTR path)
{
    Source.file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    Source.bufferStart = 0;
    Source.length = Source.next = 0;
    Source.stopped = Source.failed = false;
    return Source.file != INVALID_HANDLE_VALUE;
}

bool CloseSourceStream()
{
    bool ok = !Source.failed;
    if (Source.file != INVALID_HANDLE_VALUE && Source.file != NULL)
        CloseHandle(Source.file);
    Source.file = INVALID_HANDLE_VALUE;
    return ok;
}

bool OpenWorkStream(LPCSTR path)
{
    Work.file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    Work.length = 0;
    Work.failed = Work.lineOpen = false;
    return Work.file != INVALID_HANDLE_VALUE;
}

bool CloseWorkStream()
{
    if (Work.file == INVALID_HANDLE_VALUE || Work.file == NULL)
        return false;
    FlushWork();
    // The new text must be on the disk before it takes the target's name.
    if (!Work.failed && !FlushFileBuffers(Work.file))
        Work.failed = true;
    if (!CloseHandle(Work.file))
        Work.failed = true;
    Work.file = INVALID_HANDLE_VALUE;
    return !Work.failed;
}

// ---- the five operations ---------------------------------------------------

bool CopyUntilLine(LPCSTR prefix)
{
    if (!prefix) {
        CopyRange(SourcePosition(), END_OF_DATA);
        return false;
    }
    Line anchor;
    if (!FindLine(prefix, anchor))
        return false;
    CopyRange(SourcePosition(), anchor.start);
    return true;
}

bool CopyThroughLine(LPCSTR prefix)
{
    Line anchor;
    if (!prefix || !FindLine(prefix, anchor))
        return false;
    CopyRange(SourcePosition(), anchor.end);
    return true;
}

void PutEntry(LPCSTR text)
{
    if (text[0] == '\0')
        return;
    // An added line stands on a line of its own, also after an anchor that is
    // the source's last line and has no LF: joined to it, it would take the
    // anchor along when Uninstall strips it.
    if (Work.lineOpen)
        WriteBytes("\r\n", 2);
    const char *from = text;
    for (const char *c = text; *c; c++)
        if (*c == '\n') {
            WriteBytes(from, (DWORD)(c - from));
            WriteBytes("\r\n", 2);
            from = c + 1;
        }
    WriteBytes(from, (DWORD)lstrlenA(from));
}

void StripMarkedLines()
{
    Line line;
    while (ReadLine(line))
        if (!EndsWithMarker(line))
            CopyRange(line.start, line.end);
}

void RefreshCatalogue(const Catalogue &catalogue)
{
    memcpy(catalogue.slots, catalogue.texts, (size_t)catalogue.stride * catalogue.count);
}

void PutCatalogue(const Catalogue &catalogue)
{
    for (int s = 0; s < catalogue.count; s++)
        PutEntry(SlotText(catalogue, s));
}
