// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLoggingCategory>

// Developer logging of the web server ("vistrel.web"), off by default; enabled with
// QT_LOGGING_RULES="vistrel.web.*=true".
Q_DECLARE_LOGGING_CATEGORY(lcWeb)
