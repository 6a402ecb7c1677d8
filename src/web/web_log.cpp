#include "web/web_log.h"

Q_LOGGING_CATEGORY(lcWeb, "vistrel.web", QtWarningMsg)
