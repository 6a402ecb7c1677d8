// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/about_dlg.h"

#include "common/dialog_units.h"
#include "resources/resources.h"
#include "ui_about_dialog.h"

#include <QShortcut>

namespace vistrel {

CAboutDlg::CAboutDlg(std::function<void()> openManual, const QString& manualPath, QWidget* parent)
    : QDialog(parent)
    , ui_(std::make_unique<Ui::AboutDialog>())
{
    ui_->setupUi(this);
    ui_->versionLabel->setText(QStringLiteral("Vistrel Version " VISTREL_VERSION));
    ui_->manualLabel->setText(QStringLiteral("Manual (F1): ") + manualPath);
    ApplyDialogUnits(*this);
    ui_->iconLabel->setPixmap(ApplicationIcon().pixmap(ui_->iconLabel->size()));
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, [openManual = std::move(openManual)] {
        if (openManual)
            openManual();
    });
}

CAboutDlg::~CAboutDlg() = default;

} // namespace vistrel
