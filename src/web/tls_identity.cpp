// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/tls_identity.h"

#include "common/text_format.h"
#include "web/web_log.h"

#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <type_traits>

namespace vistrel {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxPemBytes = 64 * 1024;

struct CertificateFree {
    void operator()(gnutls_x509_crt_t certificate) const { gnutls_x509_crt_deinit(certificate); }
};
struct PrivateKeyFree {
    void operator()(gnutls_x509_privkey_t key) const { gnutls_x509_privkey_deinit(key); }
};
using Certificate = std::unique_ptr<std::remove_pointer_t<gnutls_x509_crt_t>, CertificateFree>;
using PrivateKey = std::unique_ptr<std::remove_pointer_t<gnutls_x509_privkey_t>, PrivateKeyFree>;

gnutls_datum_t Datum(const std::string& text)
{
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())), static_cast<unsigned int>(text.size())};
}

Certificate ImportCertificate(const std::string& pem)
{
    gnutls_x509_crt_t raw = nullptr;
    if (gnutls_x509_crt_init(&raw) < 0)
        return nullptr;
    Certificate certificate(raw);
    const gnutls_datum_t data = Datum(pem);
    if (gnutls_x509_crt_import(certificate.get(), &data, GNUTLS_X509_FMT_PEM) < 0)
        return nullptr;
    return certificate;
}

PrivateKey ImportKey(const std::string& pem)
{
    gnutls_x509_privkey_t raw = nullptr;
    if (gnutls_x509_privkey_init(&raw) < 0)
        return nullptr;
    PrivateKey key(raw);
    const gnutls_datum_t data = Datum(pem);
    if (gnutls_x509_privkey_import(key.get(), &data, GNUTLS_X509_FMT_PEM) < 0)
        return nullptr;
    return key;
}

// The certificate carries the key's public half.
bool KeyMatches(gnutls_x509_crt_t certificate, gnutls_x509_privkey_t key)
{
    unsigned char certificateId[64];
    unsigned char keyId[64];
    size_t certificateIdSize = sizeof certificateId;
    size_t keyIdSize = sizeof keyId;
    if (gnutls_x509_crt_get_key_id(certificate, 0, certificateId, &certificateIdSize) < 0
        || gnutls_x509_privkey_get_key_id(key, 0, keyId, &keyIdSize) < 0)
        return false;
    return certificateIdSize == keyIdSize && std::equal(certificateId, certificateId + keyIdSize, keyId);
}

int ReadSmallFile(const fs::path& path, std::string* text)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -errno;
    struct stat info {};
    int result = 0;
    if (::fstat(fd, &info) != 0)
        result = -errno;
    else if (!S_ISREG(info.st_mode))
        result = -EINVAL;
    else if (info.st_size > static_cast<off_t>(kMaxPemBytes))
        result = -EFBIG;
    text->clear();
    char buffer[4096];
    while (result == 0) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            result = -errno;
        else if (got == 0)
            break;
        else if (text->size() + static_cast<size_t>(got) > kMaxPemBytes)
            result = -EFBIG;
        else
            text->append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return result;
}

// Written to a temporary name with mode 0600 from the start, synced, then
// renamed over the final name, so a crash never leaves a half key.
int WritePrivateFile(const fs::path& path, const std::string& text)
{
    const fs::path temporary = path.string() + ".tmp";
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -errno;
    int result = 0;
    size_t done = 0;
    while (result == 0 && done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0)
            result = -errno;
        else
            done += static_cast<size_t>(wrote);
    }
    if (result == 0 && ::fsync(fd) != 0)
        result = -errno;
    if (::close(fd) != 0 && result == 0)
        result = -errno;
    if (result == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
        result = -errno;
    if (result != 0)
        ::unlink(temporary.c_str());
    return result;
}

int Check(int gnutlsResult)
{
    if (gnutlsResult < 0) {
        qCDebug(lcWeb, "GnuTLS: %s", gnutls_strerror(gnutlsResult));
        return -EINVAL;
    }
    return 0;
}

int MakeSelfSigned(int instance, TlsIdentity* identity)
{
    gnutls_x509_privkey_t rawKey = nullptr;
    gnutls_x509_crt_t rawCertificate = nullptr;
    if (Check(gnutls_x509_privkey_init(&rawKey)) != 0)
        return -ENOMEM;
    PrivateKey key(rawKey);
    if (Check(gnutls_x509_crt_init(&rawCertificate)) != 0)
        return -ENOMEM;
    Certificate certificate(rawCertificate);

    if (Check(gnutls_x509_privkey_generate(key.get(), GNUTLS_PK_ECDSA, GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0))
        != 0)
        return -EINVAL;

    unsigned char serial[16];
    if (Check(gnutls_rnd(GNUTLS_RND_NONCE, serial, sizeof serial)) != 0)
        return -EINVAL;
    serial[0] &= 0x7f; // a positive number
    const std::string commonName = StringPrintf("Vistrel %d", instance);
    const time_t now = std::time(nullptr);
    constexpr time_t kDay = 24 * 60 * 60;
    const char* localhost = "localhost";
    const unsigned char loopback4[4] = {127, 0, 0, 1};
    const unsigned char loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

    // The steps run in order (a braced list is evaluated left to right); the
    // first failure is the one kept.
    int result = 0;
    for (int step : {
             gnutls_x509_crt_set_version(certificate.get(), 3),
             gnutls_x509_crt_set_serial(certificate.get(), serial, sizeof serial),
             gnutls_x509_crt_set_activation_time(certificate.get(), now - kDay),
             gnutls_x509_crt_set_expiration_time(certificate.get(), now + 3650 * kDay),
             gnutls_x509_crt_set_dn_by_oid(certificate.get(), GNUTLS_OID_X520_COMMON_NAME, 0, commonName.c_str(),
                                           static_cast<unsigned>(commonName.size())),
             gnutls_x509_crt_set_key(certificate.get(), key.get()),
             gnutls_x509_crt_set_subject_alt_name(certificate.get(), GNUTLS_SAN_DNSNAME, localhost,
                                                  static_cast<unsigned>(std::strlen(localhost)), GNUTLS_FSAN_APPEND),
             gnutls_x509_crt_set_subject_alt_name(certificate.get(), GNUTLS_SAN_IPADDRESS, loopback4, sizeof loopback4,
                                                  GNUTLS_FSAN_APPEND),
             gnutls_x509_crt_set_subject_alt_name(certificate.get(), GNUTLS_SAN_IPADDRESS, loopback6, sizeof loopback6,
                                                  GNUTLS_FSAN_APPEND),
             gnutls_x509_crt_set_basic_constraints(certificate.get(), 0, -1),
             gnutls_x509_crt_set_key_usage(certificate.get(), GNUTLS_KEY_DIGITAL_SIGNATURE),
             gnutls_x509_crt_set_key_purpose_oid(certificate.get(), GNUTLS_KP_TLS_WWW_SERVER, 0),
             gnutls_x509_crt_sign2(certificate.get(), certificate.get(), key.get(), GNUTLS_DIG_SHA256, 0),
         }) {
        if (result == 0)
            result = Check(step);
    }
    if (result != 0)
        return result;

    gnutls_datum_t pem{};
    if (Check(gnutls_x509_crt_export2(certificate.get(), GNUTLS_X509_FMT_PEM, &pem)) != 0)
        return -EINVAL;
    identity->certificatePem.assign(reinterpret_cast<const char*>(pem.data), pem.size);
    gnutls_free(pem.data);
    if (Check(gnutls_x509_privkey_export2(key.get(), GNUTLS_X509_FMT_PEM, &pem)) != 0)
        return -EINVAL;
    identity->keyPem.assign(reinterpret_cast<const char*>(pem.data), pem.size);
    gnutls_memset(pem.data, 0, pem.size);
    gnutls_free(pem.data);
    return 0;
}

} // namespace

fs::path SelfSignedCertificatePath(const fs::path& storeFolder, int instance)
{
    return storeFolder / ("web-" + std::to_string(instance) + ".crt");
}

fs::path SelfSignedKeyPath(const fs::path& storeFolder, int instance)
{
    return storeFolder / ("web-" + std::to_string(instance) + ".key");
}

int LoadTlsFiles(const fs::path& certificateFile, const fs::path& keyFile, TlsIdentity* identity)
{
    TlsIdentity loaded;
    if (const int result = ReadSmallFile(certificateFile, &loaded.certificatePem); result != 0)
        return result;
    if (const int result = ReadSmallFile(keyFile, &loaded.keyPem); result != 0)
        return result;
    const Certificate certificate = ImportCertificate(loaded.certificatePem);
    const PrivateKey key = ImportKey(loaded.keyPem);
    if (!certificate || !key || !KeyMatches(certificate.get(), key.get()))
        return -EINVAL;
    *identity = std::move(loaded);
    return 0;
}

int LoadOrMakeSelfSigned(const fs::path& storeFolder, int instance, TlsIdentity* identity)
{
    const fs::path certificateFile = SelfSignedCertificatePath(storeFolder, instance);
    const fs::path keyFile = SelfSignedKeyPath(storeFolder, instance);
    if (LoadTlsFiles(certificateFile, keyFile, identity) == 0)
        return 0;

    TlsIdentity made;
    if (const int result = MakeSelfSigned(instance, &made); result != 0)
        return result;
    std::error_code error;
    fs::create_directories(storeFolder, error);
    // The key goes first: a certificate without its key is made again.
    if (const int result = WritePrivateFile(keyFile, made.keyPem); result != 0)
        return result;
    if (const int result = WritePrivateFile(certificateFile, made.certificatePem); result != 0)
        return result;
    *identity = std::move(made);
    return 0;
}

std::string CertificateFingerprint(const std::string& certificatePem)
{
    const Certificate certificate = ImportCertificate(certificatePem);
    if (!certificate)
        return {};
    unsigned char digest[32];
    size_t size = sizeof digest;
    if (gnutls_x509_crt_get_fingerprint(certificate.get(), GNUTLS_DIG_SHA256, digest, &size) < 0 || size != sizeof digest)
        return {};
    std::string text;
    for (size_t i = 0; i < size; ++i)
        text += StringPrintf(i == 0 ? "%02X" : ":%02X", digest[i]);
    return text;
}

} // namespace vistrel
