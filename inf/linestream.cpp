// The line stream over raw bytes. Where lines end does not depend on text
// mode (only an LF ends a line), and a line written back is its raw bytes with
// a CR put before a bare LF; so copying is raw copying, and only the trimmed
// start and the last characters of a line are ever decoded.
#include "inf/linestream.h"

namespace {

typedef unsigned long long Offset;

enum { BUFFER_SIZE = 64 * 1024, HEAD_SIZE = 256, CTRL_Z = 0x1A };

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

// What the operations need to know of one line.
struct Line {
    Offset start, end;     // its raw bytes in the file, line end included
    DWORD blanks;          // leading spaces and tabs
    DWORD headLength;      // characters of the trimmed start kept in head
    bool trimmed;          // the blanks have been passed
    Offset trimmedRaw;     // raw length from the trimmed start to the line's end
    char head[HEAD_SIZE];  // the trimmed start, decoded, as far as it goes
    BYTE tail[9];          // the last raw bytes, newest last
    DWORD tailLength;
};

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

bool EndsWithCrLf(const Line &line)
{
    return line.tailLength >= 2 && line.tail[line.tailLength - 2] == '\r' && line.tail[line.tailLength - 1] == '\n';
}

// Reads the next whole line; false when the data has ended before any byte.
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

// Characters the line delivers in text mode.
Offset DecodedLength(const Line &line)
{
    return line.end - line.start - (EndsWithCrLf(line) ? 1 : 0);
}

char Folded(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

// Four characters from `text`, folded, in one word: equal words for texts
// that are equal with case ignored.
DWORD Signature(const char *text)
{
    return (DWORD)(BYTE)Folded(text[0]) | (DWORD)(BYTE)Folded(text[1]) << 8 | (DWORD)(BYTE)Folded(text[2]) << 16 |
           (DWORD)(BYTE)Folded(text[3]) << 24;
}

// `from` characters are known to match already. The characters are compared
// first, as most lines differ from the prefix at once.
bool MatchesPrefix(const Line &line, LPCSTR prefix, DWORD length, DWORD from = 0)
{
    if (line.headLength < length)
        return false;
    for (DWORD i = from; i < length; i++)
        if (line.head[i] != prefix[i] && Folded(line.head[i]) != Folded(prefix[i]))
            return false;
    return DecodedLength(line) - line.blanks >= length;
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

// What the presence check knows of one catalogue before it reads a line. Its
// slots share a long start ("ExcludeFromSelect=PCI\VEN_"), so a line is held
// against that start once, and against each slot only beyond it: first by the
// four characters that follow the start, packed in a word (the signature),
// then in full. The start is kept as a reference slot and its first
// character, since blanking may clear that slot's first byte.
struct CatalogueDigest {
    LPCSTR reference;
    char first;
    DWORD shared;                 // characters that every non-blank slot shares; 0: none
    bool anyUnsigned;             // a non-blank slot too short to have a signature
    DWORD signatureSet[256 / 32]; // the buckets of the slots' signatures
};

struct SlotSignature {
    bool present; // the slot is long enough to have one
    DWORD value;
};

// One of 256 buckets for a signature, to tell at once that no slot has it.
DWORD SignatureBucket(DWORD signature)
{
    return (signature * 0x9E3779B1u) >> 24;
}

// Digests the first `room` slots of a catalogue (no more are ever compared),
// given their compared lengths; fills in their signatures.
void DigestCatalogue(const Catalogue &catalogue, const DWORD *lengths, SlotSignature *signatures, int room,
                     CatalogueDigest &digest)
{
    int slots = catalogue.count < room ? catalogue.count : room;
    digest.reference = NULL;
    digest.first = 0;
    digest.shared = 0;
    for (int s = 0; s < slots; s++) {
        LPCSTR slot = SlotText(catalogue, s);
        if (slot[0] == '\0')
            continue;
        if (!digest.reference) {
            digest.reference = slot;
            digest.first = Folded(slot[0]);
            digest.shared = lengths[s];
            continue;
        }
        DWORD same = 0;
        while (same < digest.shared && same < lengths[s] && Folded(slot[same]) == Folded(digest.reference[same]))
            same++;
        digest.shared = same;
    }
    digest.anyUnsigned = false;
    memset(digest.signatureSet, 0, sizeof digest.signatureSet);
    for (int s = 0; s < slots; s++) {
        LPCSTR slot = SlotText(catalogue, s);
        signatures[s].present = lengths[s] >= digest.shared + 4;
        if (signatures[s].present) {
            signatures[s].value = Signature(slot + digest.shared);
            DWORD bucket = SignatureBucket(signatures[s].value);
            digest.signatureSet[bucket / 32] |= 1u << (bucket % 32);
        } else if (slot[0] != '\0') {
            digest.anyUnsigned = true;
        }
    }
}

// False when no slot of the catalogue can begin the line; otherwise gives the
// line's signature after the shared start, when it is long enough to have one.
bool MayHold(const CatalogueDigest &digest, const Line &line, DWORD &signature, bool &isSigned)
{
    DWORD known = digest.shared;
    if (known > 0 && (line.headLength == 0 || Folded(line.head[0]) != digest.first ||
                      !MatchesPrefix(line, digest.reference, known, 1)))
        return false;
    isSigned = line.headLength >= known + 4;
    signature = isSigned ? Signature(line.head + known) : 0;
    DWORD bucket = SignatureBucket(signature);
    return digest.anyUnsigned || (isSigned && (digest.signatureSet[bucket / 32] & (1u << (bucket % 32))));
}

} // namespace

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

void DropPresentEntries(const Catalogue *const *catalogues, int count, CompareMode mode)
{
    // The compared length of every slot, worked out once rather than per line.
    enum { MOST_SLOTS = 64 };
    DWORD lengths[MOST_SLOTS];
    int slots = 0;
    for (int c = 0; c < count; c++)
        for (int s = 0; s < catalogues[c]->count && slots < MOST_SLOTS; s++) {
            DWORD length = (DWORD)lstrlenA(SlotText(*catalogues[c], s));
            if (mode == MARKERLESS_COMPARE && length >= INSTALL_MARKER_LENGTH)
                length -= INSTALL_MARKER_LENGTH;
            lengths[slots++] = length;
        }

    // What is known of each catalogue before any line is read, and by a
    // line's first character which catalogues can hold it at all, so that
    // most lines are passed at a glance.
    enum { MOST_CATALOGUES = 16 };
    CatalogueDigest digests[MOST_CATALOGUES];
    SlotSignature signatures[MOST_SLOTS];
    WORD wanted[256];
    WORD always = 0; // catalogues without a shared start: every line is compared
    memset(wanted, 0, sizeof wanted);
    for (int c = 0, base = 0; c < count && c < MOST_CATALOGUES; base += catalogues[c]->count, c++) {
        int at = base < MOST_SLOTS ? base : MOST_SLOTS;
        DigestCatalogue(*catalogues[c], lengths + at, signatures + at, MOST_SLOTS - at, digests[c]);
        if (digests[c].shared > 0)
            wanted[(BYTE)digests[c].first] |= (WORD)(1u << c);
        else
            always |= (WORD)(1u << c);
    }

    Line line;
    while (ReadLine(line)) {
        if (count <= MOST_CATALOGUES && !always && (line.headLength == 0 || !wanted[(BYTE)Folded(line.head[0])]))
            continue;
        int index = 0;
        for (int c = 0; c < count; c++) {
            const Catalogue &catalogue = *catalogues[c];
            DWORD known = 0;
            DWORD lineSignature = 0;
            bool lineSigned = false;
            if (c < MOST_CATALOGUES) {
                known = digests[c].shared;
                if (!MayHold(digests[c], line, lineSignature, lineSigned)) {
                    index += catalogue.count;
                    continue;
                }
            }
            for (int s = 0; s < catalogue.count && index < MOST_SLOTS; s++, index++) {
                char *slot = catalogue.slots + s * catalogue.stride;
                if (slot[0] == '\0')
                    continue;
                // A line shorter than the signed part cannot hold the slot.
                if (c < MOST_CATALOGUES && signatures[index].present &&
                    (!lineSigned || signatures[index].value != lineSignature))
                    continue;
                if (MatchesPrefix(line, slot, lengths[index], known))
                    slot[0] = '\0';
            }
        }
    }
    SeekSource(0);
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
