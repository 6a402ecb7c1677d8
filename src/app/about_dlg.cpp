#include "app/about_dlg.h"

#include "resources/resources.h"
#include "ui_about_dialog.h"

#include <QShortcut>

namespace vistrel {

CAboutDlg::CAboutDlg(std::function<void()> openManual, QWidget* parent)
    : QDialog(parent)
    , ui_(std::make_unique<Ui::AboutDialog>())
{
    ui_->setupUi(this);
    ui_->iconLabel->setPixmap(ApplicationIcon().pixmap(48, 48));
    setFixedSize(size());
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, [openManual = std::move(openManual)] {
        if (openManual)
            openManual();
    });
}

CAboutDlg::~CAboutDlg() = default;

} // namespace vistrel
