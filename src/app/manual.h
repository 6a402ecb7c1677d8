// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>

#include <functional>

namespace vistrel {

// The manual, "<program name>.mht", named after the program as it is
// actually called: next to the program (the build folder), else where an
// install puts it, <prefix>/share/doc/<program name>/. The first that
// exists; the one next to the program when neither does.
QString ManualPath();

// Opens `url` with the desktop's viewer, but only where the desktop has a
// program registered for the file's type (xdg-mime): a started xdg-open
// counts as success even when nothing can show the file. False when it did
// not open. User-interface thread.
bool OpenWithDesktop(const QUrl& url);

// The HTML page of an MHTML document (its first text/html part), or an empty
// string when `mhtml` holds none.
QString ManualHtml(const QByteArray& mhtml);

// The program's own window for the manual, for desktops that cannot show the
// file. Lives on the user-interface thread.
class CManualWindow : public QWidget {
    Q_OBJECT
public:
    explicit CManualWindow(const QString& path, QWidget* parent = nullptr);
};

} // namespace vistrel
