// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "settings/instance_settings.h"
#include "settings/registry_key.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vistrel {

// Loading and saving every setting of the process. Both run on the
// user-interface thread and hold SettingsLock for the whole store access.
//
// Process key "Software\Tallow Software\Vistrel\Camera%d\Settings", camera
// keys "...\Camera%d\MuxedCam%c", all under HKEY_LOCAL_MACHINE; both loading
// and saving create missing keys.

// Reads the process values and then each camera's, every value defaulting to
// the field's current value (the two paths to their defaults under $HOME),
// and "LastArchiveSize" into LoadedArchiveCount. Returns the stored "VideoOn"
// flag (0 when absent). When SettingsLock cannot be taken, nothing is loaded
// and false is returned.
bool LoadInstanceSettings(InstanceSettings& s, CRegistryKey& key, int32_t& camView);

// Writes the complete set in table order; "VideoOn" only when videoOn holds
// a value. "LastArchiveSize" is written from ArchiveCount under its own lock,
// taken while SettingsLock is held. A write that fails does not stop the
// others; the status tells the first failure and the key it struck (nothing
// is saved when SettingsLock cannot be taken: -ETIMEDOUT without a key), and
// the unreadable key files that were kept aside.
SaveStatus SaveInstanceSettings(InstanceSettings& s, CRegistryKey& key, int32_t camView,
                                std::optional<bool> videoOn);

// The failure of a save in words, e.g. "HKEY_LOCAL_MACHINE\...\Settings:
// No space left on device"; "" when it worked.
std::string SaveFailureText(const SaveStatus& status);

// The key paths of an instance and of one camera letter (index 0..7).
std::string ProcessKeyPath(int32_t instance);
std::string CameraKeyPath(int32_t instance, int camera);

// The defaults of the static file and the archive folder, under the home
// folder as it is now: "$HOME/Cameras/Cam%d%c.jpg" and "$HOME/Cameras/Camera%d%c/".
std::string DefaultStaticPathFile(int32_t instance, int camera);
std::string DefaultArchivePath(int32_t instance, int camera);

} // namespace vistrel
