#pragma once

#include <QLoggingCategory>

// Developer logging of the web server ("vistrel.web"); debug output is off
// unless enabled with QT_LOGGING_RULES.
Q_DECLARE_LOGGING_CATEGORY(lcWeb)
