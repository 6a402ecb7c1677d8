// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/capture_log.h"

Q_LOGGING_CATEGORY(lcCapture, "vistrel.capture", QtWarningMsg)
