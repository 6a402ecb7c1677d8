#include "app/manual.h"

#include <QCoreApplication>
#include <QDesktopServices>

namespace vistrel {

QString ManualPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/vistrel.mht");
}

bool OpenManualFile(const std::function<bool(const QUrl&)>& open)
{
    const QUrl url = QUrl::fromLocalFile(ManualPath());
    return open ? open(url) : QDesktopServices::openUrl(url);
}

} // namespace vistrel
