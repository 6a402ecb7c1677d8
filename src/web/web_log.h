#pragma once

#include <QLoggingCategory>

// Developer logging of the web server ("vistrel.web"), off by default; enabled with
// QT_LOGGING_RULES="vistrel.web.*=true".
Q_DECLARE_LOGGING_CATEGORY(lcWeb)
