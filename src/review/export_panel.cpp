// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/export_panel.h"

#include "review/export_task.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

namespace vistrel {

ExportPanel::ExportPanel(QWidget* parent)
    : QWidget(parent)
{
    progress_ = new QProgressBar(this);
    progress_->setVisible(false);
    cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton_->setVisible(false);
    connect(cancelButton_, &QPushButton::clicked, this, &ExportPanel::Cancel);
    label_ = new QLabel(this);
    label_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(progress_, 1);
    row->addWidget(cancelButton_);
    row->addWidget(label_, 2);
}

ExportPanel::~ExportPanel() = default;

bool ExportPanel::isRunning() const
{
    return task_ && task_->isRunning();
}

void ExportPanel::Start(ExportJob job)
{
    if (isRunning())
        return;
    const size_t images = job.frames.size();
    const QString path = QString::fromStdString(job.output);
    task_ = std::make_unique<ExportTask>(std::move(job));
    connect(task_.get(), &Task::progress, this, &ExportPanel::OnProgress);
    connect(task_.get(), &Task::finished, this, &ExportPanel::OnFinished);
    lastResult_.reset();
    progress_->setRange(0, int(std::min<size_t>(images, INT32_MAX)));
    progress_->setValue(0);
    progress_->setVisible(true);
    cancelButton_->setVisible(true);
    cancelButton_->setEnabled(true);
    label_->setStyleSheet(QString());
    label_->setText(QStringLiteral("Exporting %L1 images to %2").arg(qulonglong(images)).arg(path));
    task_->Start();
}

void ExportPanel::Cancel()
{
    if (!isRunning())
        return;
    task_->Cancel();
    cancelButton_->setEnabled(false);
    label_->setText(QStringLiteral("Cancelling the export..."));
}

void ExportPanel::OnProgress(qint64 done, qint64)
{
    progress_->setValue(int(std::min<qint64>(done, INT32_MAX)));
}

void ExportPanel::OnFinished()
{
    progress_->setVisible(false);
    cancelButton_->setVisible(false);
    const ExportResult& result = task_->result();
    const QString path = QString::fromStdString(task_->job().output);
    QString text;
    switch (result.status) {
    case ExportResult::Status::Done:
        text = QStringLiteral("Exported %L1 images to %2.").arg(qulonglong(result.written)).arg(path);
        for (const std::string& leftOut : DescribeLeftOut(result))
            text += QStringLiteral(" ") + QString::fromStdString(leftOut) + QStringLiteral(".");
        if (!result.note.empty())
            text += QStringLiteral(" ") + QString::fromStdString(result.note) + QStringLiteral(".");
        label_->setStyleSheet(QString());
        break;
    case ExportResult::Status::Cancelled:
        text = QStringLiteral("Export cancelled: nothing was written.");
        label_->setStyleSheet(QString());
        break;
    case ExportResult::Status::Failed:
        text = QStringLiteral("Export failed: %1").arg(QString::fromStdString(result.error));
        label_->setStyleSheet(QStringLiteral("color: #c00000"));
        break;
    }
    label_->setText(text);
    lastResult_ = result;
    Q_EMIT finished();
}

} // namespace vistrel
