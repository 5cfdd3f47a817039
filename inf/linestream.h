// The INF line stream: a source stream read line by line from the target file,
// a work stream written with the new text, and the five operations that every
// patch and the uninstall pass are built from.
//
// Text mode is our own, over raw bytes: CR LF reads as LF, a lone CR is kept,
// byte 0x1A ends the data; every LF is written as CR LF. A line is read whole,
// whatever its length, and its bytes (NUL included) are copied exactly.
#ifndef PLOVEX_LINESTREAM_H
#define PLOVEX_LINESTREAM_H

#include "platform/platform.h"

#include <type_traits>

// Ends every line the program adds; Uninstall recognises its lines by it alone.
#define INSTALL_MARKER ";Plovex\n"
enum { INSTALL_MARKER_LENGTH = 8 };

// A table of fixed-width slots; a slot's text is one INF line the program
// adds, ending with the marker. `texts` is what the program carries; `slots` is
// the working copy that a presence check blanks (first byte NUL: an empty
// text). Patches refresh the working copy from the texts before each presence
// check, so nothing stays blank across commands.
struct Catalogue {
    const char *texts;
    char *slots;
    int stride;
    int count;
};
// The count and stride of a catalogue, taken from its texts' type; its slots
// must have the very same shape, as the texts are copied over them whole.
template <typename Texts, typename Slots>
struct CatalogueShape {
    static_assert(std::is_same<Texts, const Slots>::value,
                  "a catalogue's slots differ from its texts in count or stride");
    enum { COUNT = (int)std::extent<Texts, 0>::value, STRIDE = (int)std::extent<Texts, 1>::value };
};
#define CATALOGUE(texts, slots) \
    { &(texts)[0][0], &(slots)[0][0], CatalogueShape<decltype(texts), decltype(slots)>::STRIDE, \
      CatalogueShape<decltype(texts), decltype(slots)>::COUNT }

inline const char *SlotText(const Catalogue &catalogue, int slot)
{
    return catalogue.slots + slot * catalogue.stride;
}

enum CompareMode {
    MARKERLESS_COMPARE, // the slot text less its marker begins the trimmed line
    FULL_LINE_COMPARE   // the trimmed line is the slot text, marker and LF included
};

// Streams. Opening resets the stream's state; a false result means the file
// could not be opened. Closing tells whether every read (or write, flush and
// close) succeeded.
bool OpenSourceStream(LPCSTR path);
bool CloseSourceStream();
bool OpenWorkStream(LPCSTR path);
bool CloseWorkStream();

// Copies the source up to (without) the first line whose trimmed start matches
// `prefix`, case folded for A-Z only, and leaves that line unread; true when
// found. Not found: nothing written, source where it was. A null prefix copies
// all that is left and returns false. Prefixes of up to 255 characters.
bool CopyUntilLine(LPCSTR prefix);
// Copies the source up to and including the first matching line; true when
// found. Not found (or no prefix): nothing written, source where it was.
bool CopyThroughLine(LPCSTR prefix);
// Writes a slot's text to the work stream, unless it is empty (a blank slot).
void PutEntry(LPCSTR text);
// Blanks every non-blank slot of the catalogues whose text the source holds
// as a line anywhere, then puts the source back at its beginning. Its index
// and the limits of the lists it takes: inf/presence.h.
void DropPresentEntries(const Catalogue *const *catalogues, int count, CompareMode mode);
// Copies every line that does not end with the installation marker.
void StripMarkedLines();

// Catalogue helpers used by the patches.
void RefreshCatalogue(const Catalogue &catalogue);
void PutCatalogue(const Catalogue &catalogue);

#endif
