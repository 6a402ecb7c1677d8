// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/setup_window.h"
#include "common/commands.h"
#include "common/control_id.h"
#include "common/label_progress_ctrl.h"
#include "common/recorder_display.h"
#include "display/picture_box.h"

#include <QComboBox>
#include <QLabel>
#include <QWidget>

namespace vistrel::test {

// Camera i's controls in the main window, found by their control ids.
inline CPictureBoxEx* PaneOf(const QWidget& window, int camera)
{
    return FindControl<CPictureBoxEx>(window, kPaneIdBase + camera);
}

inline CLabelProgressCtrl* MeterOf(const QWidget& window, int camera, Meter meter)
{
    return FindControl<CLabelProgressCtrl>(
        window, (meter == Meter::Motion ? kMotionMeterIdBase : kArchiveMeterIdBase) + camera);
}

inline QLabel* LabelOf(const QWidget& window, int camera, Label label)
{
    return FindControl<QLabel>(
        window, (label == Label::FrameRate ? kFrameRateLabelIdBase : kForecastLabelIdBase) + camera);
}

// The controls of the Video Device Setup window, by the ids of its template.
inline QString StatusText(const CModelessDlg& window)
{
    return FindControl<QLabel>(window, 1006)->text();
}

inline QComboBox* DeviceList(const CModelessDlg& window)
{
    return FindControl<QComboBox>(window, 1001);
}

inline QComboBox* FormatList(const CModelessDlg& window)
{
    return FindControl<QComboBox>(window, 1002);
}

inline QComboBox* InputList(const CModelessDlg& window)
{
    return FindControl<QComboBox>(window, 1003);
}

// The "Standard:" list, shown only while the running device has analog inputs.
inline QComboBox* StandardList(const CModelessDlg& window)
{
    return FindControl<QComboBox>(window, 1007);
}

} // namespace vistrel::test
