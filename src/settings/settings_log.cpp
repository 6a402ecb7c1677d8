#include "settings/settings_log.h"

Q_LOGGING_CATEGORY(lcSettings, "vistrel.settings", QtWarningMsg)
