// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLoggingCategory>

// Developer logging of the capture devices ("vistrel.capture"), off by default; enabled with
// QT_LOGGING_RULES="vistrel.capture.*=true".
Q_DECLARE_LOGGING_CATEGORY(lcCapture)
