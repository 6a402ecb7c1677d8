// SPDX-License-Identifier: GPL-3.0-or-later
#include "archive/archive_log.h"

Q_LOGGING_CATEGORY(lcArchive, "vistrel.archive", QtWarningMsg)
