// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vistrel {

// `vistrel --web-password [--instance N]`: asks for the remote access
// password of instance N (1 when not given) on the terminal without echo,
// twice, or reads one line from standard input when that is not a terminal,
// and stores only its hash in the instance's Web key. Never from the command
// line, where other users could read it. `arguments` are those after the
// program path; `input` is standard input. Returns the exit status: 0 once
// the hash is stored, 1 when the password is refused or cannot be stored, 2
// for a wrong command line; the reason goes to standard error.
int RunWebPasswordCommand(const std::vector<std::string>& arguments, std::FILE* input = stdin);

} // namespace vistrel
