#include "capture/capture_log.h"

Q_LOGGING_CATEGORY(lcCapture, "vistrel.capture", QtWarningMsg)
