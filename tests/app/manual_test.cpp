// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/manual.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTextBrowser>
#include <QRegularExpression>

namespace {

// The built manual is an MHTML document a browser can open: MIME headers,
// a multipart/related body whose first part is the HTML page.
TEST(Manual, IsAnMhtmlDocumentWithTheHtmlPageFirst)
{
    QFile file(VISTREL_MANUAL_FILE);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << VISTREL_MANUAL_FILE;
    const QByteArray data = file.readAll();

    const int headerEnd = data.indexOf("\r\n\r\n");
    ASSERT_GT(headerEnd, 0);
    const QByteArray headers = data.left(headerEnd);
    EXPECT_TRUE(headers.contains("MIME-Version: 1.0"));
    EXPECT_TRUE(headers.contains("Content-Type: multipart/related;"));
    const QRegularExpressionMatch boundary
        = QRegularExpression("boundary=\"([^\"]+)\"").match(QString::fromLatin1(headers));
    ASSERT_TRUE(boundary.hasMatch());

    const QByteArray delimiter = "\r\n--" + boundary.captured(1).toLatin1();
    const int first = data.indexOf(delimiter);
    const int second = data.indexOf(delimiter, first + 1);
    const int closing = data.indexOf(delimiter + "--");
    ASSERT_GT(first, 0);
    ASSERT_GT(second, first);
    ASSERT_GE(closing, second);
    const QByteArray html = data.mid(first, second - first);
    EXPECT_TRUE(html.contains("Content-Type: text/html"));
    EXPECT_TRUE(html.contains("<html"));
    EXPECT_TRUE(html.contains("</html>"));
    EXPECT_TRUE(data.mid(second, closing - second).contains("Content-Type: image/svg+xml"));

    // 8bit parts: CR LF line ends and no line longer than 998 bytes.
    for (const QByteArray& line : data.split('\n')) {
        EXPECT_LE(line.size(), 999);
        if (!line.isEmpty()) {
            EXPECT_TRUE(line.endsWith('\r'));
        }
    }
}

TEST(Manual, CoversTheServiceAndInstanceSetUp)
{
    QFile file(VISTREL_MANUAL_FILE);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    for (const char* topic : {"SIGTERM", "vistrel.service", "instance-", "VISTREL_REGISTRY", "Jpeg Quality",
                              "Mux Speed", "--seed-defaults"})
        EXPECT_TRUE(data.contains(topic)) << topic;
}

// The program's own manual window shows the page of the built manual, for
// desktops whose browsers cannot open MHTML.
TEST(Manual, TheProgramsOwnWindowShowsTheBuiltManual)
{
    vistrel::CManualWindow window(VISTREL_MANUAL_FILE);
    const QString text = window.findChild<QTextBrowser*>()->toPlainText();
    EXPECT_TRUE(text.contains("Video Device Setup")) << text.left(200).toStdString();
    EXPECT_TRUE(text.contains("TimeoutStopSec"));
    EXPECT_FALSE(text.contains("Content-Type"));

    vistrel::CManualWindow missing("/nonexistent/vistrel.mht");
    EXPECT_TRUE(missing.findChild<QTextBrowser*>()->toPlainText().contains("/nonexistent/vistrel.mht"));
}

} // namespace
