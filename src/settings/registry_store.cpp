// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/registry_store.h"

#include "settings/settings_log.h"
#include "common/write_all.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vistrel {

namespace fs = std::filesystem;

namespace {

// A key file far beyond anything this program writes (a full key is a few
// kilobytes) is not a key file; it is not read into memory.
constexpr off_t kMaxKeyFileBytes = 1024 * 1024;

std::string EnvOrEmpty(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

} // namespace

std::string CurrentHomeFolder()
{
    std::string home = EnvOrEmpty("HOME");
    if (!home.empty())
        return home;
    // No HOME (a bare service environment): the account's home folder.
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir)
        return result->pw_dir;
    return {};
}

namespace {

// A key path's folder names: '\' separates them. A name the file system
// would read differently ("", ".", "..", or one holding '/') is refused, so
// no key path can reach outside the store.
bool SplitKeyPath(std::string_view keyPath, std::vector<std::string_view>& parts)
{
    parts.clear();
    if (keyPath.empty())
        return true;
    while (true) {
        const size_t sep = keyPath.find('\\');
        const std::string_view part = keyPath.substr(0, sep);
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string_view::npos
            || part.find('\0') != std::string_view::npos)
            return false;
        parts.push_back(part);
        if (sep == std::string_view::npos)
            return true;
        keyPath.remove_prefix(sep + 1);
    }
}

// The sub-folder of parent that names the key part without regard to case;
// an exact match wins, else the first in name order, so the choice is stable.
bool FindChildFolder(const fs::path& parent, std::string_view part, fs::path& child)
{
    std::error_code ec;
    const fs::path exact = parent / std::string(part);
    if (fs::is_directory(exact, ec)) {
        child = exact;
        return true;
    }
    std::string best;
    for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code dirEc;
        if (NamesEqual(name, part) && it->is_directory(dirEc) && (best.empty() || name < best))
            best = name;
    }
    if (best.empty())
        return false;
    child = parent / best;
    return true;
}

// "Camera" and a number: the keys of one instance.
bool IsInstanceKeyName(std::string_view name)
{
    constexpr std::string_view kPrefix = "Camera";
    if (name.size() <= kPrefix.size() || !NamesEqual(name.substr(0, kPrefix.size()), kPrefix))
        return false;
    const std::string_view number = name.substr(kPrefix.size());
    return std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The index of the first folder of a key path that belongs to a key holding
// secrets (HoldsSecrets); parts.size() when none does.
size_t FirstSecretPart(const std::vector<std::string_view>& parts)
{
    constexpr std::string_view kVistrel[] = {"Software", "Tallow Software", "Vistrel"};
    if (parts.size() < 5)
        return parts.size();
    for (size_t i = 0; i < std::size(kVistrel); ++i) {
        if (!NamesEqual(parts[i], kVistrel[i]))
            return parts.size();
    }
    if (NamesEqual(parts[3], "NetworkCameras"))
        return 4;
    if (IsInstanceKeyName(parts[3]) && (NamesEqual(parts[4], "Events") || NamesEqual(parts[4], "Web")))
        return 4;
    return parts.size();
}

// Names of the store's own, never keys: temporaries and keys being removed.
bool IsStoreInternalName(std::string_view name)
{
    return !name.empty() && name.front() == '.';
}

// Case-blind name order, exact order between names that differ only in case.
bool NameOrder(const std::string& a, const std::string& b)
{
    const auto lower = [](char c) { return char(std::tolower(static_cast<unsigned char>(c))); };
    const bool less = std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                                   [&](char x, char y) { return lower(x) < lower(y); });
    if (less || !NamesEqual(a, b))
        return less;
    return a < b;
}

// A name no other writer in any process picks at the same moment.
std::string UniqueSuffix()
{
    static std::atomic<unsigned> counter{0};
    return std::to_string(::getpid()) + "." + std::to_string(counter++);
}

void SyncFolder(const fs::path& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Only the keys of an instance or two are read again and again.
constexpr size_t kMaxCachedKeys = 32;

int64_t Nanoseconds(const timespec& t)
{
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The file is updated to hold the value under the key's current spelling;
// false when nothing changed.
bool ApplyValue(RegFile& file, const std::string& keyName, std::string_view name, const RegValue& value)
{
    bool changed = file.keyName != keyName;
    file.keyName = keyName;
    if (RegEntry* entry = FindValue(file, name)) {
        if (!(entry->value == value)) {
            entry->value = value;
            changed = true;
        }
    } else {
        file.values.push_back(RegEntry{std::string(name), value});
        changed = true;
    }
    return changed;
}

} // namespace

bool HoldsSecrets(std::string_view keyPath)
{
    std::vector<std::string_view> parts;
    return SplitKeyPath(keyPath, parts) && FirstSecretPart(parts) < parts.size();
}

std::string_view RootName(RegistryRoot root)
{
    switch (root) {
    case RegistryRoot::HKEY_CLASSES_ROOT:
        return "HKEY_CLASSES_ROOT";
    case RegistryRoot::HKEY_CURRENT_USER:
        return "HKEY_CURRENT_USER";
    case RegistryRoot::HKEY_LOCAL_MACHINE:
        return "HKEY_LOCAL_MACHINE";
    case RegistryRoot::HKEY_USERS:
        return "HKEY_USERS";
    }
    return {};
}

fs::path DefaultRegistryFolder()
{
    const std::string explicitFolder = EnvOrEmpty("VISTREL_REGISTRY");
    if (!explicitFolder.empty())
        return explicitFolder;
    // A relative XDG_CONFIG_HOME is invalid and ignored.
    const std::string config = EnvOrEmpty("XDG_CONFIG_HOME");
    if (!config.empty() && config.front() == '/')
        return fs::path(config) / "vistrel" / "registry";
    const std::string home = CurrentHomeFolder();
    if (home.empty())
        return {};
    return fs::path(home) / ".config" / "vistrel" / "registry";
}

namespace {

RegStatus StatusOf(int error)
{
    switch (error) {
    case 0:
        return RegStatus::Ok;
    case -ENOENT:
    case -ENOTDIR:
        return RegStatus::FileNotFound;
    case -EINVAL:
        return RegStatus::InvalidParameter;
    default:
        return RegStatus::AccessDenied;
    }
}

// The file of one key: 0 with its values (none when the key has no file), or
// -errno when it exists but cannot be read, or is not a regular file (a
// named pipe is opened without waiting for a writer). A file that is not a
// key file gives 0, no values and the reason in notAKeyFile. When the file
// exists, info receives its fstat.
int LoadKeyFile(const fs::path& keyFolder, RegFile& file, std::string& notAKeyFile, struct stat& info)
{
    file = RegFile{};
    notAKeyFile.clear();
    const fs::path path = keyFolder / kValuesFileName;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return 0;
        qCInfo(lcSettings, "cannot read %s: %s", path.c_str(), std::strerror(error));
        return -error;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        qCInfo(lcSettings, "%s is not a regular file", path.c_str());
        ::close(fd);
        return -error;
    }
    info = st;
    std::string text;
    bool tooLarge = st.st_size > kMaxKeyFileBytes;
    if (!tooLarge)
        text.reserve(size_t(st.st_size));
    char buffer[8192];
    while (!tooLarge) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return -error;
        }
        if (n == 0)
            break;
        tooLarge = text.size() + size_t(n) > size_t(kMaxKeyFileBytes);
        text.append(buffer, size_t(n));
    }
    ::close(fd);
    if (tooLarge) {
        notAKeyFile = "it is over 1 MiB";
    } else {
        file = ParseRegFile(text);
        if (const char* why = WhyNotAKeyFile(file)) {
            notAKeyFile = why;
            file = RegFile{};
        }
    }
    if (!notAKeyFile.empty())
        qCInfo(lcSettings, "%s is not a key file: %s", path.c_str(), notAKeyFile.c_str());
    else if (file.skippedLines > 0)
        qCInfo(lcSettings, "%s: %d unreadable lines skipped", path.c_str(), file.skippedLines);
    return 0;
}

// Renames the key's file that is not a key file to a name of its own,
// values.reg.unreadable-<local time>, never over an earlier one. 0 or -errno.
int KeepAside(const fs::path& keyFolder, fs::path& keptAs)
{
    const time_t now = ::time(nullptr);
    tm local {};
    char stamp[32] = "0";
    if (::localtime_r(&now, &local))
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const fs::path file = keyFolder / kValuesFileName;
    const std::string base = file.string() + ".unreadable-" + stamp;
    for (int n = 1; n < 1000; ++n) {
        keptAs = n == 1 ? base : base + "-" + std::to_string(n);
        struct stat st {};
        if (::lstat(keptAs.c_str(), &st) == 0)
            continue;
        if (::rename(file.c_str(), keptAs.c_str()) != 0)
            return -errno;
        return 0;
    }
    return -EEXIST;
}

// A secret key's folder lets no one else in, even one made before the rule
// or by hand.
void NarrowSecretFolder(const fs::path& keyFolder)
{
    struct stat st {};
    if (::stat(keyFolder.c_str(), &st) != 0 || (st.st_mode & 07777) == 0700)
        return;
    if (::chmod(keyFolder.c_str(), 0700) != 0)
        qCInfo(lcSettings, "cannot narrow %s to mode 0700: %s", keyFolder.c_str(), std::strerror(errno));
}

// Replaces the key's file atomically; 0 or -errno. A secret key's file is
// made with mode 0600 from its first byte: the temporary that becomes it.
int SaveKeyFile(const fs::path& keyFolder, const RegFile& file, bool secret)
{
    const std::string text = FormatRegFile(file);
    if (secret)
        NarrowSecretFolder(keyFolder);

    // The temporary name starts with a dot, so it can never be taken for the
    // key's file, and a leftover from a crash is simply never read.
    fs::path temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = keyFolder / (".values.reg." + UniqueSuffix() + ".tmp");
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, secret ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int error = errno;
        qCInfo(lcSettings, "cannot write in %s: %s", keyFolder.c_str(), std::strerror(error));
        return -error;
    }
    FileStatus written = WriteAll(fd, text.data(), text.size());
    if (written && ::fsync(fd) != 0)
        written = FileStatus::Failed(errno);
    if (::close(fd) != 0 && written)
        written = FileStatus::Failed(errno);
    if (!written) {
        qCInfo(lcSettings, "cannot write %s: %s", temp.c_str(), written.Reason().c_str());
        ::unlink(temp.c_str());
        return written.error();
    }
    const fs::path target = keyFolder / kValuesFileName;
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int renameErrno = errno;
        qCInfo(lcSettings, "cannot replace %s: %s", target.c_str(), std::strerror(renameErrno));
        ::unlink(temp.c_str());
        return -renameErrno;
    }
    SyncFolder(keyFolder); // makes the rename itself survive a power cut
    return 0;
}

} // namespace

RegistryStore::RegistryStore(fs::path folder)
    : folder_(std::move(folder))
{
}

RegistryStore::~RegistryStore() = default;

int RegistryStore::resolveKey(RegistryRoot root, std::string_view keyPath, bool create, fs::path& folder,
                              std::string* keyName) const
{
    const std::string_view rootName = RootName(root);
    std::vector<std::string_view> parts;
    if (rootName.empty() || !SplitKeyPath(keyPath, parts))
        return -EINVAL;
    if (folder_.empty())
        return create ? -EACCES : -ENOENT;

    std::error_code ec;
    fs::path current = folder_ / std::string(rootName);

    // Usually the key is spelled as on disk: one look-up instead of one a part.
    fs::path exact = current;
    for (std::string_view part : parts)
        exact /= std::string(part);
    if (fs::is_directory(exact, ec)) {
        folder = std::move(exact);
        if (keyName)
            *keyName = parts.empty() ? std::string(rootName) : std::string(rootName) + '\\' + std::string(keyPath);
        return 0;
    }

    if (create) {
        fs::create_directories(folder_, ec);
        if (::mkdir(current.c_str(), 0777) != 0 && errno != EEXIST)
            return -errno;
    }
    std::string name(rootName);
    const size_t firstSecret = FirstSecretPart(parts);
    for (size_t index = 0; index < parts.size(); ++index) {
        const std::string_view part = parts[index];
        fs::path child;
        if (!FindChildFolder(current, part, child)) {
            if (!create)
                return -ENOENT;
            child = current / std::string(part);
            const mode_t mode = index >= firstSecret ? 0700 : 0777;
            if (::mkdir(child.c_str(), mode) != 0 && !(errno == EEXIST && fs::is_directory(child, ec))) {
                const int error = errno;
                qCInfo(lcSettings, "cannot create key folder %s: %s", child.c_str(), std::strerror(error));
                return -error;
            }
        }
        name += '\\';
        name += child.filename().string();
        current = std::move(child);
    }
    if (!fs::is_directory(current, ec))
        return -ENOENT;
    folder = std::move(current);
    if (keyName)
        *keyName = std::move(name);
    return 0;
}

RegStatus RegistryStore::openKey(RegistryRoot root, std::string_view keyPath) const
{
    fs::path folder;
    return StatusOf(resolveKey(root, keyPath, false, folder, nullptr));
}

RegStatus RegistryStore::createKey(RegistryRoot root, std::string_view keyPath)
{
    fs::path folder;
    const int error = resolveKey(root, keyPath, true, folder, nullptr);
    noteFailure(error, std::string(RootName(root)) + '\\' + std::string(keyPath));
    return StatusOf(error);
}

bool RegistryStore::IsSameFile(const Cached& cached, const struct stat& st)
{
    return cached.device == st.st_dev && cached.inode == st.st_ino && cached.size == st.st_size
        && cached.modifiedNs == Nanoseconds(st.st_mtim) && cached.changedNs == Nanoseconds(st.st_ctim);
}

const RegistryStore::Cached* RegistryStore::unchangedKey(RegistryRoot root, std::string_view keyPath) const
{
    const std::string_view rootName = RootName(root);
    std::vector<std::string_view> parts;
    if (cache_.empty() || rootName.empty() || folder_.empty() || !SplitKeyPath(keyPath, parts))
        return nullptr;
    fs::path folder = folder_ / std::string(rootName);
    for (std::string_view part : parts)
        folder /= std::string(part);
    const auto it = cache_.find(folder);
    if (it == cache_.end() || pending_.count(folder))
        return nullptr;
    struct stat st {};
    if (::stat((folder / kValuesFileName).c_str(), &st) != 0 || !IsSameFile(it->second, st))
        return nullptr;
    return &it->second;
}

int RegistryStore::loadKey(const fs::path& folder, const Cached*& key) const
{
    static const Cached kNoValues;
    const fs::path path = folder / kValuesFileName;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        auto it = cache_.find(folder);
        if (it != cache_.end() && IsSameFile(it->second, st)) {
            key = &it->second;
            return 0;
        }
    }
    cache_.erase(folder);
    Cached fresh;
    st = {};
    if (const int error = LoadKeyFile(folder, fresh.file, fresh.notAKeyFile, st); error != 0)
        return error;
    if (st.st_ino == 0) { // no file: no values
        key = &kNoValues;
        return 0;
    }
    fresh.device = st.st_dev;
    fresh.inode = st.st_ino;
    fresh.size = st.st_size;
    fresh.modifiedNs = Nanoseconds(st.st_mtim);
    fresh.changedNs = Nanoseconds(st.st_ctim);
    if (cache_.size() >= kMaxCachedKeys)
        cache_.clear();
    key = &(cache_[folder] = std::move(fresh));
    return 0;
}

RegStatus RegistryStore::readValue(RegistryRoot root, std::string_view keyPath, std::string_view name,
                                   RegValue& value) const
{
    const RegFile* file = nullptr;
    if (const Cached* cached = unchangedKey(root, keyPath)) {
        if (!cached->notAKeyFile.empty())
            return RegStatus::BadKeyFile;
        file = &cached->file;
    } else {
        fs::path folder;
        if (const int error = resolveKey(root, keyPath, false, folder, nullptr); error != 0)
            return StatusOf(error);
        if (auto it = pending_.find(folder); it != pending_.end()) {
            file = &it->second.file;
        } else {
            const Cached* loaded = nullptr;
            if (const int error = loadKey(folder, loaded); error != 0)
                return StatusOf(error);
            if (!loaded->notAKeyFile.empty())
                return RegStatus::BadKeyFile;
            file = &loaded->file;
        }
    }
    const RegEntry* entry = FindValue(*file, name);
    if (!entry)
        return RegStatus::FileNotFound;
    value = entry->value;
    return RegStatus::Ok;
}

int RegistryStore::stageValue(RegistryRoot root, std::string_view keyPath, std::string_view name,
                              const RegValue& value)
{
    if (!IsStorableValueName(name))
        return -EINVAL;
    fs::path folder;
    std::string keyName;
    if (const int error = resolveKey(root, keyPath, false, folder, &keyName); error != 0)
        return error;
    auto it = pending_.find(folder);
    if (it == pending_.end()) {
        // A file that cannot be read is never replaced: its values would be lost.
        const Cached* current = nullptr;
        if (const int error = loadKey(folder, current); error != 0)
            return error;
        it = pending_.emplace(folder, Pending{current->file, false, current->notAKeyFile, HoldsSecrets(keyPath)}).first;
    }
    if (ApplyValue(it->second.file, keyName, name, value))
        it->second.changed = true;
    return 0;
}

RegStatus RegistryStore::writeValue(RegistryRoot root, std::string_view keyPath, std::string_view name,
                                    const RegValue& value)
{
    if (batchDepth_ == 0) {
        WriteBatch single(*this);
        const RegStatus staged = writeValue(root, keyPath, name, value);
        const SaveStatus saved = single.Commit();
        return staged != RegStatus::Ok ? staged : StatusOf(saved.error);
    }
    const int error = stageValue(root, keyPath, name, value);
    noteFailure(error, std::string(RootName(root)) + '\\' + std::string(keyPath));
    return StatusOf(error);
}

RegStatus RegistryStore::listSubkeys(RegistryRoot root, std::string_view keyPath, std::vector<std::string>& names) const
{
    names.clear();
    fs::path folder;
    if (const int error = resolveKey(root, keyPath, false, folder, nullptr); error != 0)
        return StatusOf(error);
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::error_code typeEc;
        if (!IsStoreInternalName(name) && it->is_directory(typeEc))
            names.push_back(std::move(name));
    }
    if (ec) {
        qCInfo(lcSettings, "cannot list %s: %s", folder.c_str(), ec.message().c_str());
        names.clear();
        return StatusOf(-ec.value());
    }
    std::sort(names.begin(), names.end(), NameOrder);
    return RegStatus::Ok;
}

RegStatus RegistryStore::deleteKey(RegistryRoot root, std::string_view keyPath)
{
    if (keyPath.empty())
        return RegStatus::InvalidParameter; // a root is never removed
    fs::path folder;
    if (const int error = resolveKey(root, keyPath, false, folder, nullptr); error != 0)
        return StatusOf(error);
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeEc;
        if (it->is_directory(typeEc))
            return RegStatus::AccessDenied; // subkeys are removed first, one by one
    }
    if (ec)
        return StatusOf(-ec.value());

    // One rename takes the key out of every reader's sight; what follows only
    // frees the space.
    const fs::path parent = folder.parent_path();
    const fs::path aside = parent / (".removed-" + folder.filename().string() + "." + UniqueSuffix());
    if (::rename(folder.c_str(), aside.c_str()) != 0) {
        const int error = errno;
        qCInfo(lcSettings, "cannot remove key folder %s: %s", folder.c_str(), std::strerror(error));
        return StatusOf(-error);
    }
    SyncFolder(parent);
    cache_.erase(folder);
    pending_.erase(folder);
    fs::remove_all(aside, ec);
    if (ec)
        qCInfo(lcSettings, "removed key left %s behind: %s", aside.c_str(), ec.message().c_str());
    return RegStatus::Ok;
}

void RegistryStore::noteFailure(int error, std::string keyName)
{
    if (error != 0 && batchDepth_ > 0 && batchStatus_.error == 0) {
        batchStatus_.error = error;
        batchStatus_.keyName = std::move(keyName);
    }
}

SaveStatus RegistryStore::commitBatch()
{
    SaveStatus status = std::move(batchStatus_);
    batchStatus_ = SaveStatus{};
    for (auto& [folder, pending] : pending_) {
        if (!pending.changed)
            continue;
        int error = 0;
        if (!pending.keepAside.empty()) {
            KeptAsideFile kept{folder / kValuesFileName, {}, pending.keepAside};
            error = KeepAside(folder, kept.keptAs);
            if (error == 0)
                status.keptAside.push_back(std::move(kept));
        }
        if (error == 0)
            error = SaveKeyFile(folder, pending.file, pending.secret);
        if (error != 0) {
            qCInfo(lcSettings, "key %s not saved: %s", pending.file.keyName.c_str(), std::strerror(-error));
            if (status.error == 0) {
                status.error = error;
                status.keyName = pending.file.keyName;
            }
        }
    }
    pending_.clear();
    return status;
}

RegistryStore::WriteBatch::WriteBatch(RegistryStore& store)
    : store_(store)
{
    ++store_.batchDepth_;
}

RegistryStore::WriteBatch::~WriteBatch()
{
    if (open_)
        Commit();
}

void RegistryStore::WriteBatch::NoteFailure(int error, const std::string& keyName)
{
    if (open_)
        store_.noteFailure(error, keyName);
}

SaveStatus RegistryStore::WriteBatch::Commit()
{
    if (!open_)
        return {};
    open_ = false;
    if (--store_.batchDepth_ == 0)
        return store_.commitBatch();
    return store_.batchStatus_;
}

} // namespace vistrel
