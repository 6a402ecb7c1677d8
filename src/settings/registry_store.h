#pragma once

#include "settings/reg_file.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>

struct stat;

namespace vistrel {

// The predefined roots, with the numbers the registry gives them.
enum class RegistryRoot : uint32_t {
    HKEY_CLASSES_ROOT = 0x80000000u,
    HKEY_CURRENT_USER = 0x80000001u,
    HKEY_LOCAL_MACHINE = 0x80000002u,
    HKEY_USERS = 0x80000003u,
};

// The root's folder name ("HKEY_LOCAL_MACHINE"), or "" for a number that is
// not one of the four roots.
std::string_view RootName(RegistryRoot root);

// Results as the registry reports them.
enum class RegStatus : int32_t {
    Ok = 0,
    FileNotFound = 2,      // no such key or value
    AccessDenied = 5,      // the key's folder or file cannot be written or read
    InvalidParameter = 87, // a root, key path or value name the store cannot hold
    MoreData = 234,        // the value is larger than the caller's buffer
};

// The store folder: $VISTREL_REGISTRY, else $XDG_CONFIG_HOME/vistrel/registry,
// else $HOME/.config/vistrel/registry, read from the environment now. Empty
// when no home folder can be found; such a store holds nothing.
std::filesystem::path DefaultRegistryFolder();

// $HOME, else the account's home folder; "" when neither is known.
std::string CurrentHomeFolder();

// The settings store that stands in for the registry. Each key is a folder
// <store>/<ROOT>/<key path with '\' turned into '/'>/ holding values.reg.
// A key's file is always replaced whole (temporary file in the same folder,
// fsync, rename), so readers in this or another process see the old or the
// new key, never half of one. Key and value names compare without regard to
// case; a new name keeps the case of its first write.
//
// Not synchronised: a store object belongs to the thread that uses it (the
// main window's on the user-interface thread). Two writers of one key in one
// process must be serialised by their caller; different instances use
// different keys.
class RegistryStore {
public:
    explicit RegistryStore(std::filesystem::path folder);
    ~RegistryStore();
    RegistryStore(RegistryStore&&) = default; // never while a batch is open
    RegistryStore& operator=(RegistryStore&&) = default;

    const std::filesystem::path& folder() const { return folder_; }

    // Ok when the key exists; FileNotFound or InvalidParameter otherwise.
    RegStatus openKey(RegistryRoot root, std::string_view keyPath) const;
    bool keyExists(RegistryRoot root, std::string_view keyPath) const { return openKey(root, keyPath) == RegStatus::Ok; }
    // Creates the key and every missing key above it; Ok when it exists already.
    RegStatus createKey(RegistryRoot root, std::string_view keyPath);
    RegStatus readValue(RegistryRoot root, std::string_view keyPath, std::string_view name, RegValue& value) const;
    // The key must exist (as with a key opened for writing).
    RegStatus writeValue(RegistryRoot root, std::string_view keyPath, std::string_view name, const RegValue& value);

    // While a batch is open, writes collect in memory, one copy per key, and
    // each changed key's file is replaced once when the batch closes: a full
    // save then costs one fsync a key instead of one a value. Reads see the
    // collected values. A write still fails at once when its key is missing
    // or unreadable; a failure to replace a file at the end is only logged.
    class WriteBatch {
    public:
        explicit WriteBatch(RegistryStore& store);
        ~WriteBatch();
        WriteBatch(const WriteBatch&) = delete;
        WriteBatch& operator=(const WriteBatch&) = delete;

    private:
        RegistryStore& store_;
    };

private:
    struct Pending {
        RegFile file;
        bool changed = false;
    };
    // A key's parsed file and the identity of the file it came from (device,
    // inode, size, times): a replaced file is a new inode, so a match means
    // the parse is still current.
    struct Cached {
        uint64_t device = 0, inode = 0;
        int64_t size = 0, modifiedNs = 0, changedNs = 0;
        RegFile file;
    };

    // The key's folder on disk, matching existing folders without regard to
    // case; with create, missing folders are made. Sets keyName to the key's
    // full name as it is spelled on disk.
    RegStatus resolveKey(RegistryRoot root, std::string_view keyPath, bool create, std::filesystem::path& folder,
                         std::string* keyName) const;
    static bool IsSameFile(const Cached& cached, const struct stat& st);
    // The cached values of a key spelled as on disk whose file is unchanged
    // (one stat, no parse), or nullptr.
    const RegFile* unchangedKey(RegistryRoot root, std::string_view keyPath) const;
    // The key's values, parsed again only when its file changed.
    RegStatus loadKey(const std::filesystem::path& folder, const RegFile*& file) const;
    void commitBatch();

    std::filesystem::path folder_;
    int batchDepth_ = 0;
    std::map<std::filesystem::path, Pending> pending_; // key folder -> collected values, while a batch is open
    mutable std::map<std::filesystem::path, Cached> cache_; // key folder -> last parse
};

inline constexpr std::string_view kValuesFileName = "values.reg";

} // namespace vistrel
