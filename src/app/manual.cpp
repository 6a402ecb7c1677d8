// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/manual.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace vistrel {

namespace {

constexpr int kToolTimeoutMs = 5000;

// One line of output of an xdg-mime query, or "" when the tool is missing or fails.
QString XdgMime(const QStringList& arguments)
{
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (tool.isEmpty())
        return {};
    QProcess query;
    query.start(tool, arguments);
    if (!query.waitForFinished(kToolTimeoutMs)) {
        query.kill();
        query.waitForFinished();
        return {};
    }
    if (query.exitStatus() != QProcess::NormalExit || query.exitCode() != 0)
        return {};
    return QString::fromLocal8Bit(query.readAllStandardOutput()).trimmed();
}

} // namespace

QString ManualPath()
{
    const QFileInfo program(QCoreApplication::applicationFilePath());
    const QString name = program.fileName() + QStringLiteral(".mht");
    const QString beside = program.absolutePath() + u'/' + name;
    const QString installed
        = program.absolutePath() + QStringLiteral("/../share/doc/") + program.fileName() + u'/' + name;
    for (const QString& path : {beside, installed}) {
        if (QFileInfo::exists(path))
            return QFileInfo(path).absoluteFilePath();
    }
    return beside;
}

bool OpenWithDesktop(const QUrl& url)
{
    if (!url.isLocalFile() || !QFileInfo::exists(url.toLocalFile()))
        return false;
    const QString type = XdgMime({QStringLiteral("query"), QStringLiteral("filetype"), url.toLocalFile()});
    if (type.isEmpty() || XdgMime({QStringLiteral("query"), QStringLiteral("default"), type}).isEmpty())
        return false;
    return QDesktopServices::openUrl(url);
}

QString ManualHtml(const QByteArray& mhtml)
{
    const QRegularExpressionMatch boundary
        = QRegularExpression(QStringLiteral("boundary=\"([^\"]+)\"")).match(QString::fromLatin1(mhtml.left(4096)));
    if (!boundary.hasMatch())
        return {};
    const QByteArray delimiter = "--" + boundary.captured(1).toLatin1();
    for (qsizetype at = mhtml.indexOf(delimiter); at >= 0;) {
        const qsizetype next = mhtml.indexOf(delimiter, at + delimiter.size());
        const QByteArray part = mhtml.mid(at + delimiter.size(), next < 0 ? -1 : next - at - delimiter.size());
        const qsizetype bodyAt = part.indexOf("\r\n\r\n");
        if (bodyAt >= 0 && part.left(bodyAt).contains("Content-Type: text/html"))
            return QString::fromUtf8(part.mid(bodyAt + 4));
        at = next;
    }
    return {};
}

CManualWindow::CManualWindow(const QString& path, QWidget* parent)
    : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("Vistrel Manual"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* browser = new QTextBrowser(this);
    layout->addWidget(browser);
    browser->setOpenExternalLinks(true);

    QFile file(path);
    const QString html = file.open(QIODevice::ReadOnly) ? ManualHtml(file.readAll()) : QString();
    if (html.isEmpty())
        browser->setPlainText(QStringLiteral("The manual %1 cannot be read.").arg(path));
    else
        browser->setHtml(html);
    resize(720, 640);
}

} // namespace vistrel
