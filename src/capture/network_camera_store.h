// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/network_camera.h"

#include <string>
#include <vector>

namespace vistrel {

class RegistryStore;

// "Software\Tallow Software\Vistrel\NetworkCameras" under HKEY_LOCAL_MACHINE:
// one subkey a camera, named as the camera, shared by every instance and
// written only by the network cameras dialog (or a script), never by an
// instance's settings save. Its keys hold a password, so the store writes
// them for their owner alone.
inline constexpr char kNetworkCamerasKey[] = "Software\\Tallow Software\\Vistrel\\NetworkCameras";

// The configured cameras in the store's name order, read from the store as
// it is now: texts "Url", "User", "Password" (REG_SZ, or REG_EXPAND_SZ as it
// stands) and the number "Transport" (at most 4 bytes of any type; 0 TCP,
// 1 UDP). A camera whose values are missing or of another type is listed
// all the same, so the cameras after it keep their numbers; it then fails
// ValidateNetworkCamera and is never opened.
std::vector<NetworkCamera> ReadNetworkCameras(const RegistryStore& store);

// Writes the camera's four values to its key in one replacement of the
// key's file, creating the key as needed. With `previousName` naming
// another key (a rename), that key is removed once the new one is written.
// 0, or -errno of the write that failed (nothing of the camera changed then).
// The caller validates the camera and the uniqueness of its name.
int SaveNetworkCamera(RegistryStore& store, const NetworkCamera& camera, const std::string& previousName = {});

// Removes the camera's key and its values. 0, -ENOENT when there is no such
// camera, or -EACCES when the key cannot be removed (it stays whole).
int RemoveNetworkCamera(RegistryStore& store, const std::string& name);

} // namespace vistrel
