#include "capture/capture_log.h"

namespace vistrel {

Q_LOGGING_CATEGORY(lcCapture, "vistrel.capture", QtWarningMsg)

} // namespace vistrel
