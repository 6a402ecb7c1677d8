#include "pipeline/pipeline_log.h"

Q_LOGGING_CATEGORY(lcPipeline, "vistrel.pipeline", QtWarningMsg)
