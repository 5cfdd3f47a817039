// A text as a JSON string, for the event logs of the runner and of the Wine
// test driver, so that both write the same bytes for the same text.
#ifndef PLOVEX_HOST_JSON_H
#define PLOVEX_HOST_JSON_H

#include <stdio.h>

#include <string>

inline std::string JsonString(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c >= 0x7f) { // every byte outside printable ASCII, whatever its code page
            char code[8];
            snprintf(code, sizeof code, "\\u%04x", c);
            out += code;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

#endif
