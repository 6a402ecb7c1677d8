// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/settings_io.h"

#include "settings/registry_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <type_traits>
#include <variant>

namespace vistrel {

namespace {

using IntArray = std::array<int32_t, kCameraCount> InstanceSettings::*;
using ColourArray = std::array<uint32_t, kCameraCount> InstanceSettings::*;
using TextArray = std::array<std::string, kCameraCount> InstanceSettings::*;
using FontArray = std::array<LOGFONTA, kCameraCount> InstanceSettings::*;

enum class PathDefault { None, StaticFile, ArchiveFolder };

struct CameraValue {
    const char* name;
    std::variant<IntArray, ColourArray, TextArray, FontArray> field;
    PathDefault pathDefault = PathDefault::None;
};

// Each camera key's values after "LastArchiveSize", in the order in which
// they are written and read.
const CameraValue kCameraValues[] = {
    {"MuxerInputs", &InstanceSettings::MuxerInputs},
    {"Rotation", &InstanceSettings::Rotation},
    {"HorzFlip", &InstanceSettings::HorzFlip},
    {"VertFlip", &InstanceSettings::VertFlip},
    {"HORZ", &InstanceSettings::HORZ},
    {"VERT", &InstanceSettings::VERT},
    {"OverlayText", &InstanceSettings::OverlayText},
    {"TextColor", &InstanceSettings::TextColor},
    {"BackgroundColor", &InstanceSettings::BackgroundColor},
    {"EnableOverlay", &InstanceSettings::EnableOverlay},
    {"OverlayEffect", &InstanceSettings::OverlayEffect},
    {"OverlayFont", &InstanceSettings::OverlayFont},
    {"EnableStaticSave", &InstanceSettings::EnableStaticSave},
    {"EnableStaticMotion", &InstanceSettings::EnableStaticMotion},
    {"EnableArchving", &InstanceSettings::EnableArchving},
    {"EnableArchiveMotion", &InstanceSettings::EnableArchiveMotion},
    {"StaticPathFile", &InstanceSettings::StaticPathFile, PathDefault::StaticFile},
    {"ArchivePath", &InstanceSettings::ArchivePath, PathDefault::ArchiveFolder},
    {"JpegQuality", &InstanceSettings::JpegQuality},
    {"Days", &InstanceSettings::Days},
    {"Hours", &InstanceSettings::Hours},
    {"Minutes", &InstanceSettings::Minutes},
    {"TriggerLevel", &InstanceSettings::TriggerLevel},
    {"SaveCount", &InstanceSettings::SaveCount},
    // After the values older programs know, which ignore these.
    {"MaxArchiveMB", &InstanceSettings::MaxArchiveMB},
};

std::string CamerasFolder()
{
    std::string home = CurrentHomeFolder();
    while (!home.empty() && home.back() == '/')
        home.pop_back();
    return home + "/Cameras/";
}

void LoadCamera(InstanceSettings& s, CRegistryKey& key, int camera)
{
    const int32_t instance = s.InstanceNumber;
    s.LoadedArchiveCount[camera] = key.ReadInt("LastArchiveSize", s.LoadedArchiveCount[camera]);
    for (const CameraValue& value : kCameraValues) {
        std::visit(
            [&](auto field) {
                auto& slot = (s.*field)[camera];
                using Slot = std::remove_reference_t<decltype(slot)>;
                if constexpr (std::is_same_v<Slot, int32_t>) {
                    slot = key.ReadInt(value.name, slot);
                } else if constexpr (std::is_same_v<Slot, uint32_t>) {
                    slot = uint32_t(key.ReadInt(value.name, int32_t(slot)));
                } else if constexpr (std::is_same_v<Slot, std::string>) {
                    switch (value.pathDefault) {
                    case PathDefault::None:
                        slot = key.ReadString(value.name, slot);
                        break;
                    case PathDefault::StaticFile:
                        slot = key.ReadString(value.name, DefaultStaticPathFile(instance, camera));
                        break;
                    case PathDefault::ArchiveFolder:
                        slot = key.ReadString(value.name, DefaultArchivePath(instance, camera));
                        break;
                    }
                } else {
                    key.ReadFont(value.name, slot);
                }
            },
            value.field);
    }
    // A negative part of the retention period would make the archive keep
    // nothing (the whole period counts as 0): each is read as 0 on its own,
    // so Minutes 5 beside a stored Days of -1 still keeps five minutes.
    for (IntArray part : {&InstanceSettings::Days, &InstanceSettings::Hours, &InstanceSettings::Minutes})
        (s.*part)[camera] = std::max((s.*part)[camera], 0);
}

std::string FullKeyName(const std::string& keyPath)
{
    return "HKEY_LOCAL_MACHINE\\" + keyPath;
}

void SaveCamera(InstanceSettings& s, CRegistryKey& key, int camera, RegistryStore::WriteBatch& batch)
{
    {
        // The counter has its own lock; SettingsLock is already held, which
        // is the one order in which both may be taken.
        TimedLock countLock(s.ArchiveCountLock[camera]);
        if (countLock)
            key.WriteInt("LastArchiveSize", s.ArchiveCount[camera]);
        else
            batch.NoteFailure(-ETIMEDOUT, FullKeyName(CameraKeyPath(s.InstanceNumber, camera)));
    }
    for (const CameraValue& value : kCameraValues) {
        std::visit(
            [&](auto field) {
                const auto& slot = (s.*field)[camera];
                using Slot = std::remove_cvref_t<decltype(slot)>;
                if constexpr (std::is_same_v<Slot, int32_t>)
                    key.WriteInt(value.name, slot);
                else if constexpr (std::is_same_v<Slot, uint32_t>)
                    key.WriteInt(value.name, int32_t(slot));
                else if constexpr (std::is_same_v<Slot, std::string>)
                    key.WriteString(value.name, slot);
                else
                    key.WriteFont(value.name, slot);
            },
            value.field);
    }
}

// Every value, SettingsLock held.
void WriteEverySetting(InstanceSettings& s, CRegistryKey& key, int32_t camView, std::optional<bool> videoOn,
                       RegistryStore::WriteBatch& batch)
{
    key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    key.SetKey(ProcessKeyPath(s.InstanceNumber), true);
    key.WriteInt("CamView", camView);
    key.WriteInt("Device", s.Device);
    key.WriteInt("InputPin", s.InputPin);
    key.WriteString("VideoFormat", s.VideoFormat);
    if (videoOn)
        key.WriteInt("VideoOn", *videoOn ? 1 : 0);
    key.WriteInt("MuxerSpeed", s.MuxerSpeed);
    key.WriteInt("EnableMux", s.EnableMux);
    key.WriteInt("SaveEvery", s.SaveEvery);
    // After the values older programs know, which ignore these.
    // A network camera's name and URL may be longer than the original texts.
    key.WriteLongString("DeviceName", s.DeviceName);
    key.WriteLongString("DeviceBusInfo", s.DeviceBusInfo);
    key.WriteLongString("DeviceLink", s.DeviceLink);
    key.WriteString("VideoStandard", s.VideoStandard);
    key.WriteInt("KeepFreeMB", int32_t(s.KeepFreeMB));

    for (int camera = 0; camera < kCameraCount; ++camera) {
        key.SetKey(CameraKeyPath(s.InstanceNumber, camera), true);
        SaveCamera(s, key, camera, batch);
    }
}

} // namespace

std::string ProcessKeyPath(int32_t instance)
{
    return "Software\\Tallow Software\\Vistrel\\Camera" + std::to_string(instance) + "\\Settings";
}

std::string CameraKeyPath(int32_t instance, int camera)
{
    return "Software\\Tallow Software\\Vistrel\\Camera" + std::to_string(instance) + "\\MuxedCam"
        + CameraLetter(camera);
}

std::string DefaultStaticPathFile(int32_t instance, int camera)
{
    return CamerasFolder() + "Cam" + std::to_string(instance) + CameraLetter(camera) + ".jpg";
}

std::string DefaultArchivePath(int32_t instance, int camera)
{
    return CamerasFolder() + "Camera" + std::to_string(instance) + CameraLetter(camera) + "/";
}

bool LoadInstanceSettings(InstanceSettings& s, CRegistryKey& key, int32_t& camView)
{
    TimedLock lock(s.SettingsLock);
    if (!lock)
        return false;

    key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    key.SetKey(ProcessKeyPath(s.InstanceNumber), true);
    camView = key.ReadInt("CamView", camView);
    s.Device = key.ReadInt("Device", s.Device);
    s.InputPin = key.ReadInt("InputPin", s.InputPin);
    s.VideoFormat = key.ReadString("VideoFormat", s.VideoFormat);
    const bool videoOn = key.ReadInt("VideoOn", 0) != 0;
    s.MuxerSpeed = key.ReadInt("MuxerSpeed", s.MuxerSpeed);
    s.EnableMux = key.ReadInt("EnableMux", s.EnableMux);
    s.SaveEvery = key.ReadInt("SaveEvery", s.SaveEvery);
    s.DeviceName = key.ReadLongString("DeviceName", s.DeviceName);
    s.DeviceBusInfo = key.ReadLongString("DeviceBusInfo", s.DeviceBusInfo);
    s.DeviceLink = key.ReadLongString("DeviceLink", s.DeviceLink);
    s.VideoStandard = key.ReadString("VideoStandard", s.VideoStandard);
    s.KeepFreeMB = uint32_t(key.ReadInt("KeepFreeMB", int32_t(s.KeepFreeMB)));

    for (int camera = 0; camera < kCameraCount; ++camera) {
        key.SetKey(CameraKeyPath(s.InstanceNumber, camera), true);
        LoadCamera(s, key, camera);
    }
    return videoOn;
}

SaveStatus SaveInstanceSettings(InstanceSettings& s, CRegistryKey& key, int32_t camView, std::optional<bool> videoOn)
{
    // Each key's file is replaced once at the end of the batch instead of once
    // a value. The batch is committed after the lock is released: the workers
    // waiting for SettingsLock need not wait for the disk too, and the batch
    // holds its own copy of the values.
    RegistryStore::WriteBatch batch(key.Store());
    {
        TimedLock lock(s.SettingsLock);
        if (!lock) {
            batch.NoteFailure(-ETIMEDOUT, {}); // tried again at the next save
            return batch.Commit();
        }
        WriteEverySetting(s, key, camView, videoOn, batch);
    }
    return batch.Commit();
}

std::string SaveFailureText(const SaveStatus& status)
{
    if (status.ok())
        return {};
    // ETIMEDOUT's own text speaks of connections.
    const std::string reason = status.error == -ETIMEDOUT ? std::string("a lock was not obtained within 5 s")
                                                          : std::string(std::strerror(-status.error));
    return status.keyName.empty() ? reason : status.keyName + ": " + reason;
}


} // namespace vistrel
