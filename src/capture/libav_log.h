// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace vistrel {

// The one handler of libav's own messages in the program, whichever part
// uses libav (network cameras, the MP4 export): warnings and errors go to
// the capture log (off unless enabled), with the user information of any
// URL in them masked; everything chattier is dropped, as request headers
// with credentials appear there. Any thread; the first call installs it
// for the whole process.
void RouteLibavLog();

// `text` with the user information of every URL in it replaced by "***".
std::string MaskUserInfo(std::string text);

} // namespace vistrel
