#pragma once

#include <QLoggingCategory>

// Developer logging of the frame pipeline ("vistrel.pipeline"); debug output
// is off unless enabled with QT_LOGGING_RULES.
Q_DECLARE_LOGGING_CATEGORY(lcPipeline)
