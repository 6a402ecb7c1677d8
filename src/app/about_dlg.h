// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>

#include <functional>
#include <memory>

namespace Ui {
class AboutDialog;
}

namespace vistrel {

// The About box: the icon, the program's name and version, its licence and
// where the manual is. F1 opens the manual. Modal, on the user-interface thread.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    CAboutDlg(std::function<void()> openManual, const QString& manualPath, QWidget* parent = nullptr);
    ~CAboutDlg() override;

private:
    std::unique_ptr<Ui::AboutDialog> ui_;
};

} // namespace vistrel
