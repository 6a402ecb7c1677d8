// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/web_settings.h"

#include "common/text_format.h"
#include "settings/registry_key.h"

#include <arpa/inet.h>

namespace vistrel {

std::string WebKeyPath(int instance)
{
    return StringPrintf("Software\\Tallow Software\\Vistrel\\Camera%d\\Web", instance);
}

WebSettings DefaultWebSettings(int instance)
{
    WebSettings settings;
    settings.port = WebSettings::kBasePort + instance;
    return settings;
}

WebSettings ReadWebSettings(CRegistryKey& key, int instance)
{
    WebSettings settings = DefaultWebSettings(instance);
    key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    if (!key.SetKey(WebKeyPath(instance), false))
        return settings;
    settings.enable = key.ReadInt("Enable", 0) != 0;
    const int32_t port = key.ReadInt("Port", settings.port);
    if (port >= 1 && port <= 65535)
        settings.port = port;
    settings.tls = key.ReadInt("Tls", 0) != 0;
    settings.bind = key.ReadString("Bind", settings.bind);
    if (settings.bind.empty())
        settings.bind = DefaultWebSettings(instance).bind;
    settings.user = key.ReadString("User", "");
    settings.passwordHash = key.ReadString("PasswordHash", "");
    settings.certFile = key.ReadString("CertFile", "");
    settings.keyFile = key.ReadString("KeyFile", "");
    return settings;
}

bool WriteWebSettings(CRegistryKey& key, int instance, const WebSettings& settings)
{
    key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    if (!key.SetKey(WebKeyPath(instance), true))
        return false;
    bool ok = key.WriteInt("Enable", settings.enable ? 1 : 0);
    ok = key.WriteInt("Port", settings.port) && ok;
    ok = key.WriteInt("Tls", settings.tls ? 1 : 0) && ok;
    ok = key.WriteString("Bind", settings.bind) && ok;
    ok = key.WriteString("User", settings.user) && ok;
    ok = key.WriteString("PasswordHash", settings.passwordHash) && ok;
    ok = key.WriteString("CertFile", settings.certFile) && ok;
    ok = key.WriteString("KeyFile", settings.keyFile) && ok;
    return ok;
}

bool IsLoopbackAddress(const std::string& address)
{
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

WebSettingsProblem CheckWebSettings(const WebSettings& settings)
{
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, settings.bind.c_str(), &v4) != 1 && inet_pton(AF_INET6, settings.bind.c_str(), &v6) != 1)
        return WebSettingsProblem::BadBindAddress;
    if (settings.port < 0 || settings.port > 65535)
        return WebSettingsProblem::BadPort;
    if (!IsLoopbackAddress(settings.bind) && settings.passwordHash.empty())
        return WebSettingsProblem::PasswordNeeded;
    if (settings.certFile.empty() != settings.keyFile.empty())
        return WebSettingsProblem::CertificateFilesPair;
    return WebSettingsProblem::None;
}

const char* WebSettingsProblemText(WebSettingsProblem problem)
{
    switch (problem) {
    case WebSettingsProblem::None:
        return "";
    case WebSettingsProblem::BadBindAddress:
        return "The bind address must be a numeric IPv4 or IPv6 address.";
    case WebSettingsProblem::BadPort:
        return "The port must lie between 1 and 65535.";
    case WebSettingsProblem::PasswordNeeded:
        return "Set a password before binding to an address other than this machine's loopback.";
    case WebSettingsProblem::CertificateFilesPair:
        return "Give both a certificate file and a key file, or neither for a self-signed certificate.";
    }
    return "";
}

} // namespace vistrel
