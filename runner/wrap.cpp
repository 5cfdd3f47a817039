// The word wrapper of the terminal's texts: paragraph by paragraph, words
// kept whole where they fit, as a static text control breaks its lines.
#include "runner/wrap.h"

#include <algorithm>

namespace runner {

namespace {

// Word-wraps one paragraph as a static text control does; blanks leading the
// paragraph are kept, a word longer than the width is cut.
void Wrap(const std::string &paragraph, size_t width, std::vector<std::string> &out)
{
    std::string line;
    size_t i = 0;
    while (i < paragraph.size() && paragraph[i] == ' ')
        line += paragraph[i++];
    bool lineHasWord = false;
    while (i < paragraph.size()) {
        size_t end = paragraph.find(' ', i);
        if (end == std::string::npos)
            end = paragraph.size();
        std::string word = paragraph.substr(i, end - i);
        i = end < paragraph.size() ? end + 1 : end;
        if (word.empty())
            continue;
        size_t need = line.size() + (lineHasWord ? 1 : 0) + word.size();
        if (lineHasWord && need > width) {
            out.push_back(line);
            line.clear();
            lineHasWord = false;
        }
        while (line.size() + word.size() > width) { // a word wider than the line
            size_t take = width - line.size();
            out.push_back(line + word.substr(0, take));
            word.erase(0, take);
            line.clear();
        }
        if (lineHasWord)
            line += ' ';
        line += word;
        lineHasWord = true;
    }
    out.push_back(line);
}

} // namespace

std::vector<std::string> WrapText(const std::string &text, size_t width)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\n', start);
        Wrap(text.substr(start, end == std::string::npos ? std::string::npos : end - start), std::max<size_t>(width, 1),
             lines);
        if (end == std::string::npos)
            return lines;
        start = end + 1;
    }
}

} // namespace runner
