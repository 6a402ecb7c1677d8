// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/remote_access_dlg.h"

#include "settings/registry_key.h"
#include "support/fake_dialog_host.h"
#include "support/temp_env.h"
#include "web/password_hash.h"
#include "web/tls_identity.h"
#include "web/web_settings.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <fstream>
#include <sstream>

namespace vistrel {
namespace {

constexpr int kInstance = 3;

class RemoteAccessDlgTest : public ::testing::Test {
protected:
    std::unique_ptr<CRemoteAccessDlg> Open()
    {
        auto dialog = std::make_unique<CRemoteAccessDlg>(host_, kInstance, env_.registryDir().toStdString(),
                                                         "Remote access is off.");
        dialog->show();
        return dialog;
    }
    template <typename T>
    static T* Field(CRemoteAccessDlg& dialog, const char* name)
    {
        return dialog.findChild<T*>(name);
    }
    static void Set(CRemoteAccessDlg& dialog, const char* name, const char* text)
    {
        Field<QLineEdit>(dialog, name)->setText(text);
    }
    WebSettings Stored()
    {
        CRegistryKey key;
        return ReadWebSettings(key, kInstance);
    }
    QString KeyFile() const
    {
        return env_.registryDir() + "/HKEY_LOCAL_MACHINE/Software/Tallow Software/Vistrel/Camera3/Web/values.reg";
    }

    test::TempEnvironment env_;
    test::FakeDialogHost host_;
};

TEST_F(RemoteAccessDlgTest, RefusesWhatCannotServeAndStoresOnlyAHash)
{
    {
        auto dialog = Open();
        EXPECT_FALSE(Field<QCheckBox>(*dialog, "enable")->isChecked());
        EXPECT_EQ(Field<QLineEdit>(*dialog, "port")->text(), "8767");
        EXPECT_EQ(Field<QLineEdit>(*dialog, "bindAddress")->text(), "127.0.0.1");
        EXPECT_EQ(Field<QLabel>(*dialog, "state")->text(), "Remote access is off.");
    }

    // Each refused with an "Invalid Value" box, the dialog left open and
    // nothing written.
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, const char*>> fields;
        bool tls;
        const char* message;
    };
    const std::string certificate = env_.root().toStdString() + "/own.crt";
    const Case refused[] = {
        {"port 0", {{"port", "0"}}, false, "The port must lie between 1 and 65535."},
        {"port 65536", {{"port", "65536"}}, false, "The port must lie between 1 and 65535."},
        {"no port", {{"port", ""}}, false, "The port must lie between 1 and 65535."},
        {"a host name", {{"bindAddress", "camera.example"}}, false,
         "The bind address must be a numeric IPv4 or IPv6 address."},
        {"all addresses without a password", {{"bindAddress", "0.0.0.0"}}, false,
         "Set a password before binding to an address other than this machine's loopback."},
        {"another address without a password", {{"bindAddress", "192.168.1.20"}, {"password", ""}}, false,
         "Set a password before binding to an address other than this machine's loopback."},
        {"passwords that differ", {{"password", "one password"}, {"passwordAgain", "another"}}, false,
         "The two passwords differ."},
        {"a certificate without its key", {{"certFile", certificate.c_str()}}, true,
         "Give both a certificate file and a key file, or neither for a self-signed certificate."},
        {"files that are no certificate", {{"certFile", certificate.c_str()}, {"keyFile", certificate.c_str()}}, true,
         "The certificate and key files cannot be read as a certificate and its key."},
    };
    std::ofstream(certificate) << "not a certificate\n";
    for (const Case& c : refused) {
        host_.reporter.clear();
        auto dialog = Open();
        Field<QCheckBox>(*dialog, "enable")->setChecked(true);
        Field<QCheckBox>(*dialog, "tls")->setChecked(c.tls);
        for (const auto& [name, text] : c.fields)
            Set(*dialog, name, text);
        QTest::mouseClick(Field<QPushButton>(*dialog, "okButton"), Qt::LeftButton);
        const auto messages = host_.reporter.messages();
        ASSERT_EQ(messages.size(), 1u) << c.what;
        EXPECT_EQ(messages[0].caption, "Invalid Value") << c.what;
        EXPECT_EQ(messages[0].text, c.message) << c.what;
        EXPECT_TRUE(dialog->isVisible()) << c.what;
        EXPECT_FALSE(QFile::exists(KeyFile())) << c.what;
    }

    // All addresses with a password and the self-signed certificate, whose
    // fingerprint the dialog shows before it is stored.
    host_.reporter.clear();
    const char* const password = "a long and silly passphrase";
    auto dialog = Open();
    QSignalSpy written(dialog.get(), &CRemoteAccessDlg::settingsWritten);
    Field<QCheckBox>(*dialog, "enable")->setChecked(true);
    Set(*dialog, "port", "9001");
    Set(*dialog, "bindAddress", "0.0.0.0");
    Set(*dialog, "user", "keeper");
    Set(*dialog, "password", password);
    Set(*dialog, "passwordAgain", password);
    Field<QCheckBox>(*dialog, "tls")->setChecked(true);
    TlsIdentity identity;
    ASSERT_EQ(LoadOrMakeSelfSigned(env_.registryDir().toStdString(), kInstance, &identity), 0);
    EXPECT_EQ(Field<QLabel>(*dialog, "fingerprint")->text().toStdString(),
              CertificateFingerprint(identity.certificatePem));
    QTest::mouseClick(Field<QPushButton>(*dialog, "okButton"), Qt::LeftButton);
    EXPECT_TRUE(host_.reporter.messages().empty());
    EXPECT_EQ(written.count(), 1);
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    WebSettings stored = Stored();
    EXPECT_TRUE(stored.enable && stored.tls);
    EXPECT_EQ(stored.port, 9001);
    EXPECT_EQ(stored.bind, "0.0.0.0");
    EXPECT_EQ(stored.user, "keeper");
    EXPECT_TRUE(VerifyPassword(stored.passwordHash, password));
    QFile file(KeyFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_FALSE(file.readAll().contains(password));

    // An empty password field keeps the stored hash.
    const std::string hash = stored.passwordHash;
    auto again = Open();
    EXPECT_TRUE(Field<QLineEdit>(*again, "password")->text().isEmpty());
    Set(*again, "port", "9002");
    QTest::mouseClick(Field<QPushButton>(*again, "okButton"), Qt::LeftButton);
    EXPECT_EQ(again->result(), QDialog::Accepted);
    EXPECT_EQ(Stored().passwordHash, hash);
    EXPECT_EQ(Stored().port, 9002);
}

} // namespace
} // namespace vistrel
