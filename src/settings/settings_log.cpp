// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/settings_log.h"

Q_LOGGING_CATEGORY(lcSettings, "vistrel.settings", QtWarningMsg)
