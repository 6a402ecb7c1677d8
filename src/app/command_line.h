#pragma once

#include <string>
#include <vector>

namespace vistrel {

// True when the command line asks to start hidden in the tray: the switch
// "m" in any case, given as -m or /m. `arguments` are those after the program
// path. The line is cut into tokens at every '-' and '/'; the first token
// (the program, then whatever stands before the first switch) is skipped;
// each further token loses its blanks, an empty one ends the scan.
bool IsStartHidden(const std::vector<std::string>& arguments);

} // namespace vistrel
