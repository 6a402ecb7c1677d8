// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLoggingCategory>

// Developer logging of the settings store ("vistrel.settings"), off by default; enabled with
// QT_LOGGING_RULES="vistrel.settings.*=true".
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
