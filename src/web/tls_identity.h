// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <string>

namespace vistrel {

// The certificate and private key the server presents under TLS, as PEM text.
struct TlsIdentity {
    std::string certificatePem;
    std::string keyPem;
};

// Where an instance keeps its self-signed certificate: web-<instance>.crt and
// web-<instance>.key in the settings store's folder.
std::filesystem::path SelfSignedCertificatePath(const std::filesystem::path& storeFolder, int instance);
std::filesystem::path SelfSignedKeyPath(const std::filesystem::path& storeFolder, int instance);

// Loads the instance's self-signed certificate and key, or makes them (an
// ECDSA P-256 key and a certificate for localhost, valid ten years) and
// writes both with mode 0600 when either file is missing or does not load.
// Made once, then reused, so a browser that accepted it keeps accepting it.
// 0 or -errno (-EINVAL when GnuTLS refuses to make them).
int LoadOrMakeSelfSigned(const std::filesystem::path& storeFolder, int instance, TlsIdentity* identity);

// Loads a certificate and key chosen by the user; both must parse and belong
// together. 0, -EINVAL for files that do not hold them, or another -errno.
int LoadTlsFiles(const std::filesystem::path& certificateFile, const std::filesystem::path& keyFile,
                 TlsIdentity* identity);

// The SHA-256 fingerprint of the (first) certificate of a PEM text, as
// upper-case hex pairs joined by colons; empty when it does not parse.
std::string CertificateFingerprint(const std::string& certificatePem);

} // namespace vistrel
