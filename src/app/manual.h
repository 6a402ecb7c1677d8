#pragma once

#include <QString>
#include <QUrl>

#include <functional>

namespace vistrel {

// The manual lives next to the program as "vistrel.mht" (built from docs/).
QString ManualPath();

// Opens the manual with the desktop's viewer for its type. `open` stands in
// for QDesktopServices::openUrl when given (tests). User-interface thread.
bool OpenManualFile(const std::function<bool(const QUrl&)>& open = {});

} // namespace vistrel
