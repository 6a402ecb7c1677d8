// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/file_status.h"
#include "common/frame.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vistrel {

// The colour of pixel (x, y) of an uncompressed frame as 0x00RRGGBB; row y
// counts from the first stored row. 8-bit frames are grey.
uint32_t ReadPixel(const Frame& image, int x, int y);

// Writes `rgb` (width x height x 3 bytes, rows top-down, red-green-blue) as a
// baseline JPEG with the given quality (passed to libjpeg unchanged). The
// file appears under `path` only once it is complete; on failure nothing is
// left behind and an existing file keeps its old content. Silent: the caller
// reports the status. Nothing to write when the pixels cannot be encoded.
FileStatus WriteJpegFile(const std::string& path, const uint8_t* rgb, int width, int height, int quality);

// Encodes a pane's image (8, 16, 24 or 32 bits, uncompressed, bottom-up) as
// WriteJpegFile does; nothing to write for compressed images or other depths.
// The same as EncodeJpeg followed by WriteFileAtomically.
FileStatus SaveJpeg(const Frame& image, const std::string& path, int quality);

// The bytes of the file SaveJpeg writes, into `out` (its old content is
// replaced, its capacity reused). On failure `out` is left empty.
bool EncodeJpeg(const Frame& image, int quality, std::vector<uint8_t>& out);

// Writes `size` bytes to a temporary file next to `path` and renames it over
// `path` once the whole file is written and closed; on failure nothing is
// left behind and an existing file keeps its old content. A path that is a
// symbolic link is written where the link points. A file that is replaced
// keeps its owner, group and mode; where a new file could not keep them, where
// the file has other hard links, or where the folder refuses us a temporary
// file (permissions, not a full disk), the file is written in place, and a
// failure part way puts its old bytes back. On failure the status says why.
FileStatus WriteFileAtomically(const std::string& path, const uint8_t* data, size_t size);

// Removes the temporaries of `path` that another run left behind (a save cut
// short by a crash or a power cut); never one of this process's. Returns how
// many went.
int RemoveLeftoverTemporaries(const std::string& path);

} // namespace vistrel
