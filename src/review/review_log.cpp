// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/review_log.h"

Q_LOGGING_CATEGORY(lcReview, "vistrel.review", QtInfoMsg)
