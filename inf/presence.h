// The presence check's index: how DropPresentEntries (inf/linestream.h) finds
// the slots whose lines a source already holds without comparing every line
// with every slot, and the limits of the lists it takes.
//
// Given: a list of catalogues in order, a compare mode, and the source stream
// open at its beginning.
//
// Promise: the slots it leaves blank are exactly those that the plain double
// loop leaves blank. That loop reads the lines from the beginning to the end of
// the data (text mode: CR LF reads as LF, a lone CR is kept, 0x1A ends the
// data; a line ends at its LF, which it keeps, and is read whole whatever its
// length); for each line it takes the trimmed start (from the first character
// that is neither a space nor a tab: a CR or form feed ahead of the text is
// part of it); then for each catalogue in list order and each slot in table
// order it passes a blank slot (first byte NUL) and blanks a slot whose first n
// characters begin the trimmed start, letters A-Z matched in either case and
// nothing else folded. n is the slot text's length, less the marker under
// MARKERLESS_COMPARE. A slot blanked by one line stays blank for the later
// lines. Afterwards the source stands at its beginning again.
//
// Limits: at most MOST_CATALOGUES catalogues with MOST_SLOTS slots in all, and
// no slot text longer than MOST_SLOT_TEXT characters. Every list a patch gives
// is checked against them at compile time (FitsPresenceIndex beside it); a
// longer list would be taken only as far as whole catalogues fit.
#ifndef PLOVEX_PRESENCE_H
#define PLOVEX_PRESENCE_H

#include "inf/linestream.h"

enum {
    MOST_CATALOGUES = 16, // one bit each in a word per first character
    MOST_SLOTS = 64,      // compared lengths and signatures are worked out once per check
    MOST_SLOT_TEXT = 255  // the decoded start a line keeps for comparing
};

// For a static_assert beside a list of catalogues, given their text tables in
// the list's order: true when the list fits the index.
template <typename... Table>
constexpr bool FitsPresenceIndex(const Table &...tables)
{
    return (int)sizeof...(tables) <= MOST_CATALOGUES &&
           (0 + ... + (int)(sizeof tables / sizeof tables[0])) <= MOST_SLOTS &&
           (true && ... && ((int)sizeof tables[0] - 1 <= MOST_SLOT_TEXT));
}

#endif
