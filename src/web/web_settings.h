// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>

namespace vistrel {

class CRegistryKey;

// The web server's settings of one instance, kept in the key
// "Software\Tallow Software\Vistrel\Camera%d\Web". The key holds a secret (the
// password hash), so only its dialog and the --web-password command write it;
// the recorder only reads it.
struct WebSettings {
    static constexpr int kBasePort = 8764; // plus the instance number

    bool enable = false;
    int port = kBasePort + 1; // 0 lets the system choose a free one
    bool tls = false;
    std::string bind = "127.0.0.1";
    std::string user;
    std::string passwordHash; // crypto_pwhash_str text; empty: no password
    std::string certFile;     // both empty: a self-signed certificate
    std::string keyFile;
};

// The key path of an instance's web settings.
std::string WebKeyPath(int instance);

// The settings an instance has before anything was stored.
WebSettings DefaultWebSettings(int instance);

// Fills the settings from the store; a value that is missing, or out of range,
// keeps its default. Reads only: a missing key is not created.
WebSettings ReadWebSettings(CRegistryKey& key, int instance);

// Writes every value of the key, creating it; false when the store refused.
// Only the Remote Access dialog calls it (and --web-password writes the hash
// alone); the store writes this key, which holds a secret, with mode 0600.
bool WriteWebSettings(CRegistryKey& key, int instance, const WebSettings& settings);

// True for a numeric IPv4 address in 127.0.0.0/8 or the IPv6 address ::1.
bool IsLoopbackAddress(const std::string& address);

enum class WebSettingsProblem {
    None,
    BadBindAddress,       // not a numeric IPv4 or IPv6 address
    BadPort,              // outside 0 to 65535
    PasswordNeeded,       // a bind address off this machine and no password hash
    CertificateFilesPair, // only one of the certificate and key files is set
};

// Whether the server may start with these settings.
WebSettingsProblem CheckWebSettings(const WebSettings& settings);

// The sentence the dialog and standard error show for a problem.
const char* WebSettingsProblemText(WebSettingsProblem problem);

} // namespace vistrel
