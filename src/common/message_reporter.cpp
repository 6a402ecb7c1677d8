// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/message_reporter.h"

#include <QMessageBox>

namespace vistrel {

void QtMessageReporter::ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon)
{
    QMessageBox::Icon qtIcon = QMessageBox::NoIcon;
    switch (icon) {
    case MessageIcon::None: qtIcon = QMessageBox::NoIcon; break;
    case MessageIcon::Error: qtIcon = QMessageBox::Critical; break;
    case MessageIcon::Exclamation: qtIcon = QMessageBox::Warning; break;
    case MessageIcon::Information: qtIcon = QMessageBox::Information; break;
    }
    QMessageBox box(qtIcon, QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok, parent_);
    box.exec();
}

} // namespace vistrel
