// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "review/exporter.h"

#include <QWidget>

#include <memory>
#include <optional>

class QLabel;
class QProgressBar;
class QPushButton;

namespace vistrel {

class ExportTask;

// The review window's export row: runs one export at a time as an
// ExportTask, shows its progress beside a Cancel button while it runs, and
// then its outcome in words. Lives on the user-interface thread.
class ExportPanel : public QWidget {
    Q_OBJECT
public:
    explicit ExportPanel(QWidget* parent = nullptr);
    ~ExportPanel() override; // cancels an export (its temporary file goes) and waits for it

    // Starts exporting `job`; does nothing while an export runs.
    void Start(ExportJob job);
    void Cancel();
    bool isRunning() const;
    // The last export's outcome, once it has finished.
    const std::optional<ExportResult>& lastResult() const { return lastResult_; }
    QLabel* label() const { return label_; }

Q_SIGNALS:
    void finished();

private:
    void OnProgress(qint64 done, qint64 total);
    void OnFinished();

    std::unique_ptr<ExportTask> task_; // the running or last export
    std::optional<ExportResult> lastResult_;

    QProgressBar* progress_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QLabel* label_ = nullptr;
};

} // namespace vistrel
