// SPDX-License-Identifier: GPL-3.0-or-later
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

// What the long options ("--name") ask for. Only they are checked: single-dash
// and slash switches keep IsStartHidden's rule, unknown letters included.
enum class LongOptionAction {
    Run,          // none given: start the recorder
    Help,         // --help: usage on standard output, status 0
    Version,      // --version: the version on standard output, status 0
    SeedDefaults, // --seed-defaults: write first-start settings and exit
    WebPassword,  // --web-password: store the remote access password's hash and exit
    Unknown,      // an option the program does not know: usage on standard error, status 2
    BadValue,     // an option's value that cannot be used: `error` and usage on standard error, status 2
};

struct LongOptions {
    LongOptionAction action = LongOptionAction::Run;
    std::string unknown; // the option refused, with its dashes
    std::string error;   // why a value was refused (BadValue)
    int instance = 0;    // --instance N: exactly number N (1..100); 0: the lowest free one
};

// The first long option among `arguments` (those after the program path)
// other than "--instance N" (or "--instance=N") decides; "--instance" may
// stand anywhere, and a value of it that is no instance number is a usage
// error wherever it stands. A lone "--" ends the options.
LongOptions ReadLongOptions(const std::vector<std::string>& arguments);

// "Usage: vistrel ..." with one line per option, ending in a newline.
std::string UsageText();
// "vistrel <version>" and a newline.
std::string VersionText();

} // namespace vistrel
