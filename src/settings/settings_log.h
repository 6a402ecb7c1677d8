#pragma once

#include <QLoggingCategory>

// Developer logging of the settings store; off unless enabled with
// QT_LOGGING_RULES="vistrel.settings.info=true".
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
