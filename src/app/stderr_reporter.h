// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/message_reporter.h"

#include <QWidget>

#include <memory>

namespace vistrel {

// Writes each message as one line "<caption>: <text>" to standard error
// instead of showing a box. Used where no one can answer a box: on the
// offscreen platform (a service), a modal box would stop start-up for good.
class StderrMessageReporter : public IMessageReporter {
public:
    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override;
};

// The program's reporter: message boxes over `parent`, or standard error on
// the offscreen platform.
std::unique_ptr<IMessageReporter> MakeProgramReporter(QWidget* parent);

} // namespace vistrel
