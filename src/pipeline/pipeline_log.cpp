// SPDX-License-Identifier: GPL-3.0-or-later
#include "pipeline/pipeline_log.h"

Q_LOGGING_CATEGORY(lcPipeline, "vistrel.pipeline", QtWarningMsg)
