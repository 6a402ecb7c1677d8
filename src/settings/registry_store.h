// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "settings/reg_file.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
    BadKeyFile = 1009,     // the key's file is not a key file (kept aside at the key's next write)
};

// A key file the store could not read as one, renamed before the key's new
// file was written, so that nothing in it is lost.
struct KeptAsideFile {
    std::filesystem::path file;   // the key's values.reg
    std::filesystem::path keptAs; // values.reg.unreadable-<local time>
    std::string reason;           // why it could not be read
};

// How a batch of writes (a settings save) went. error is 0, or the -errno of
// the first write that failed (-ETIMEDOUT: a lock was not obtained in time),
// and keyName names that write's key; the writes after it were still tried.
struct SaveStatus {
    int error = 0;
    std::string keyName;                 // e.g. "HKEY_LOCAL_MACHINE\Software\...\Settings"
    std::vector<KeptAsideFile> keptAside; // in the order they were moved

    bool ok() const { return error == 0; }
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
// A file over 1 MiB, without its REGEDIT4 header, or with more bad lines
// than values is not a key file: the key reads as having no values
// (BadKeyFile), and its next write first renames the file to
// values.reg.unreadable-<time> beside it. A file that cannot be opened or is
// not a regular file is never replaced.
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

    // The names of the key's subkeys as spelled on disk, in name order (case
    // ignored). Names beginning with '.' are the store's own and never listed.
    // FileNotFound or InvalidParameter as openKey; AccessDenied when the key's
    // folder cannot be read.
    RegStatus listSubkeys(RegistryRoot root, std::string_view keyPath, std::vector<std::string>& names) const;
    // Removes a key without subkeys, its values with it. Readers see it whole
    // or not at all: its folder is first renamed aside in the same parent
    // (under a name beginning with '.'), then deleted. FileNotFound when there
    // is no such key; AccessDenied when it has subkeys or cannot be renamed,
    // and then nothing changed. Also drops what a batch collected for it.
    RegStatus deleteKey(RegistryRoot root, std::string_view keyPath);

    // While a batch is open, writes collect in memory, one copy per key, and
    // each changed key's file is replaced once when the batch closes: a full
    // save then costs one fsync a key instead of one a value. Reads see the
    // collected values. A write still fails at once when its key is missing
    // or cannot be read; Commit reports that and every failure to replace a
    // file at the end.
    class WriteBatch {
    public:
        explicit WriteBatch(RegistryStore& store);
        // Commits, unless Commit did.
        ~WriteBatch();
        WriteBatch(const WriteBatch&) = delete;
        WriteBatch& operator=(const WriteBatch&) = delete;

        // A failure the caller met on the way (a lock it could not take), for
        // the batch's status, where the first failure counts.
        void NoteFailure(int error, const std::string& keyName);
        // Closes the batch: the outermost one replaces the changed keys'
        // files. Returns how the writes since the outermost batch opened went.
        SaveStatus Commit();

    private:
        RegistryStore& store_;
        bool open_ = true;
    };

private:
    struct Pending {
        RegFile file;
        bool changed = false;
        std::string keepAside; // why the key's file is not a key file; it is kept before the new one is written
        bool secret = false;   // HoldsSecrets: written with mode 0600 in a folder of mode 0700
    };
    // A key's parsed file and the identity of the file it came from (device,
    // inode, size, times): a replaced file is a new inode, so a match means
    // the parse is still current.
    struct Cached {
        uint64_t device = 0, inode = 0;
        int64_t size = 0, modifiedNs = 0, changedNs = 0;
        RegFile file;           // empty when the file is not a key file
        std::string notAKeyFile; // why not, or ""
    };

    // The key's folder on disk, matching existing folders without regard to
    // case; with create, missing folders are made. Sets keyName to the key's
    // full name as it is spelled on disk. 0 or -errno (-ENOENT: no such key,
    // -EINVAL: a path the store cannot hold).
    int resolveKey(RegistryRoot root, std::string_view keyPath, bool create, std::filesystem::path& folder,
                   std::string* keyName) const;
    static bool IsSameFile(const Cached& cached, const struct stat& st);
    // The cached parse of a key spelled as on disk whose file is unchanged
    // (one stat, no parse), or nullptr.
    const Cached* unchangedKey(RegistryRoot root, std::string_view keyPath) const;
    // The key's parse, read again only when its file changed: 0, or -errno
    // when the file exists but cannot be read.
    int loadKey(const std::filesystem::path& folder, const Cached*& key) const;
    // Puts the value into the key's pending copy; 0 or -errno.
    int stageValue(RegistryRoot root, std::string_view keyPath, std::string_view name, const RegValue& value);
    void noteFailure(int error, std::string keyName);
    SaveStatus commitBatch();

    std::filesystem::path folder_;
    int batchDepth_ = 0;
    std::map<std::filesystem::path, Pending> pending_; // key folder -> collected values, while a batch is open
    SaveStatus batchStatus_; // failures of the open batch so far
    mutable std::map<std::filesystem::path, Cached> cache_; // key folder -> last parse
};

inline constexpr std::string_view kValuesFileName = "values.reg";

// True for the keys that hold a secret (a password), whatever their root:
// "Software\Tallow Software\Vistrel\NetworkCameras\<name>" and
// "Software\Tallow Software\Vistrel\Camera<n>\Events" or "...\Web", and
// every key below them. The store makes their folders with mode 0700 and
// writes their files (and the temporaries they replace) with mode 0600,
// whichever code writes them; an existing folder is narrowed to 0700 at the
// key's next write. Names compare without regard to case.
bool HoldsSecrets(std::string_view keyPath);

} // namespace vistrel
