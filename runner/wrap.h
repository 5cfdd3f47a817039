// Word wrapping as a static text control does it (wrap.cpp), for the text of
// the terminal's dialog and message boxes. A pure function of its arguments.
#ifndef PLOVEX_RUNNER_WRAP_H
#define PLOVEX_RUNNER_WRAP_H

#include <stddef.h>

#include <string>
#include <vector>

namespace runner {

// The lines of `text`, none wider than `width` (0 counts as 1). Each '\n'
// starts a paragraph and an empty paragraph is an empty line. Words move to
// the next line whole; a word wider than the line is cut. Blanks leading a
// paragraph are kept as its indent (they must be narrower than the line);
// every other run of blanks becomes one, or a line break.
std::vector<std::string> WrapText(const std::string &text, size_t width);

} // namespace runner

#endif
