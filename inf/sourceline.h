// One line of the source stream as the line stream decodes it, shared by the
// line stream (inf/linestream.cpp) and the presence check's index
// (inf/presence.cpp). Internal to inf/: the patches use inf/linestream.h.
#ifndef PLOVEX_SOURCELINE_H
#define PLOVEX_SOURCELINE_H

#include "platform/platform.h"

typedef unsigned long long Offset;

// The decoded trimmed start a line keeps: prefixes and compared slot texts of
// up to HEAD_SIZE - 1 characters are matched exactly (at HEAD_SIZE the CR of
// a CR LF can stand where the decoded line has its LF).
enum { HEAD_SIZE = 256 };

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

// Reads the next whole line of the source stream; false when the data has
// ended before any byte.
bool ReadLine(Line &line);
// Puts the source stream back at its beginning.
void RewindSource();

inline bool EndsWithCrLf(const Line &line)
{
    return line.tailLength >= 2 && line.tail[line.tailLength - 2] == '\r' && line.tail[line.tailLength - 1] == '\n';
}

// Characters the line delivers in text mode.
inline Offset DecodedLength(const Line &line)
{
    return line.end - line.start - (EndsWithCrLf(line) ? 1 : 0);
}

inline char Folded(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

// Whether the line's trimmed start begins with the first `length` characters
// of `prefix`, case folded for A-Z only; `from` characters are known to match
// already. The characters are compared first, as most lines differ from the
// prefix at once.
inline bool MatchesPrefix(const Line &line, LPCSTR prefix, DWORD length, DWORD from = 0)
{
    if (line.headLength < length)
        return false;
    for (DWORD i = from; i < length; i++)
        if (line.head[i] != prefix[i] && Folded(line.head[i]) != Folded(prefix[i]))
            return false;
    return true; // the head never holds more characters than the line decodes to
}

#endif
