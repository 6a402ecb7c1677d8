// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLoggingCategory>

// Developer logging of the archive review ("vistrel.review"); debug output
// is off unless enabled with QT_LOGGING_RULES.
Q_DECLARE_LOGGING_CATEGORY(lcReview)
