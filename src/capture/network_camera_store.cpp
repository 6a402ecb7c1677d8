// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/network_camera_store.h"

#include "settings/reg_file.h"
#include "settings/registry_store.h"

#include <algorithm>
#include <cerrno>

namespace vistrel {

namespace {

constexpr auto kRoot = RegistryRoot::HKEY_LOCAL_MACHINE;

std::string KeyOf(const std::string& name)
{
    return std::string(kNetworkCamerasKey) + '\\' + name;
}

// A text value up to its first zero byte; false for a value of another type.
bool ReadText(const RegistryStore& store, const std::string& key, const char* name, std::string& text)
{
    RegValue value;
    if (store.readValue(kRoot, key, name, value) != RegStatus::Ok
        || (value.type != REG_SZ && value.type != REG_EXPAND_SZ))
        return false;
    const auto zero = std::find(value.data.begin(), value.data.end(), uint8_t(0));
    text.assign(value.data.begin(), zero);
    return true;
}

RegValue Text(const std::string& text)
{
    RegValue value{REG_SZ, std::vector<uint8_t>(text.begin(), text.end())};
    value.data.push_back(0);
    return value;
}

// A number as the settings keep them: four bytes, little-endian.
RegValue Number(int32_t number)
{
    const auto bits = uint32_t(number);
    return RegValue{REG_BINARY, {uint8_t(bits), uint8_t(bits >> 8), uint8_t(bits >> 16), uint8_t(bits >> 24)}};
}

int ErrorOf(RegStatus status)
{
    switch (status) {
    case RegStatus::Ok: return 0;
    case RegStatus::FileNotFound: return -ENOENT;
    case RegStatus::InvalidParameter: return -EINVAL;
    default: return -EACCES;
    }
}

} // namespace

std::vector<NetworkCamera> ReadNetworkCameras(const RegistryStore& store)
{
    std::vector<std::string> names;
    if (store.listSubkeys(kRoot, kNetworkCamerasKey, names) != RegStatus::Ok)
        return {};
    std::vector<NetworkCamera> cameras;
    for (std::string& name : names) {
        NetworkCamera camera;
        const std::string key = KeyOf(name);
        camera.name = std::move(name);
        ReadText(store, key, "Url", camera.url);
        ReadText(store, key, "User", camera.user);
        ReadText(store, key, "Password", camera.password);
        RegValue transport;
        if (store.readValue(kRoot, key, "Transport", transport) == RegStatus::Ok) {
            // As the settings read numbers: at most four bytes of any type.
            uint32_t number = 0;
            for (size_t i = 0; i < transport.data.size() && i < 4; ++i)
                number |= uint32_t(transport.data[i]) << (8 * i);
            camera.transport = transport.data.size() <= 4 ? int(int32_t(number)) : -1;
        }
        cameras.push_back(std::move(camera));
    }
    return cameras;
}

int SaveNetworkCamera(RegistryStore& store, const NetworkCamera& camera, const std::string& previousName)
{
    const bool renamed = !previousName.empty() && previousName != camera.name;
    // A new spelling of the same name would land in the same key: it goes
    // first, and comes back if the camera cannot be written.
    const bool respelled = renamed && NamesEqual(previousName, camera.name);
    std::vector<NetworkCamera> previous;
    if (respelled) {
        for (NetworkCamera& stored : ReadNetworkCameras(store)) {
            if (stored.name == previousName)
                previous.push_back(std::move(stored));
        }
        // Gone already (another instance removed it): nothing to move aside.
        if (const int error = RemoveNetworkCamera(store, previousName); error != 0 && error != -ENOENT)
            return error;
    }

    const auto write = [&store](const NetworkCamera& written) {
        const std::string key = KeyOf(written.name);
        RegistryStore::WriteBatch batch(store);
        if (store.createKey(kRoot, key) == RegStatus::Ok) {
            store.writeValue(kRoot, key, "Url", Text(written.url));
            store.writeValue(kRoot, key, "User", Text(written.user));
            store.writeValue(kRoot, key, "Password", Text(written.password));
            store.writeValue(kRoot, key, "Transport", Number(written.transport));
        }
        return batch.Commit().error;
    };
    if (const int error = write(camera); error != 0) {
        if (!previous.empty())
            write(previous.front());
        return error;
    }
    if (renamed && !respelled) {
        const int error = RemoveNetworkCamera(store, previousName);
        return error == -ENOENT ? 0 : error;
    }
    return 0;
}

int RemoveNetworkCamera(RegistryStore& store, const std::string& name)
{
    if (name.empty())
        return -ENOENT;
    return ErrorOf(store.deleteKey(kRoot, KeyOf(name)));
}

} // namespace vistrel
