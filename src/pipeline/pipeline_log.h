// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLoggingCategory>

// Developer logging of the frame pipeline ("vistrel.pipeline"), off by default; enabled with
// QT_LOGGING_RULES="vistrel.pipeline.*=true".
Q_DECLARE_LOGGING_CATEGORY(lcPipeline)
