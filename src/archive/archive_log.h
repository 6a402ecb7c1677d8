// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLoggingCategory>

// Developer logging of the archive thread ("vistrel.archive"), off by default; enabled with
// QT_LOGGING_RULES="vistrel.archive.*=true".
Q_DECLARE_LOGGING_CATEGORY(lcArchive)
