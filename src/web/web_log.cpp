// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/web_log.h"

Q_LOGGING_CATEGORY(lcWeb, "vistrel.web", QtWarningMsg)
