#pragma once

#include <QLoggingCategory>

namespace vistrel {

// Developer logging of this folder; off unless enabled with QT_LOGGING_RULES.
Q_DECLARE_LOGGING_CATEGORY(lcCapture)

} // namespace vistrel
