// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QVariant>
#include <QWidget>

namespace vistrel {

// Every control of the windows and dialogs carries the numeric id of its
// dialog template in the dynamic property "controlId" (object names must be
// identifiers, so they cannot be the bare number); these find it by that id.
inline constexpr char kControlIdProperty[] = "controlId";

inline void SetControlId(QObject* control, int id)
{
    control->setProperty(kControlIdProperty, id);
}

inline QWidget* FindControl(const QObject& root, int id)
{
    const QList<QWidget*> widgets = root.findChildren<QWidget*>();
    for (QWidget* widget : widgets) {
        const QVariant value = widget->property(kControlIdProperty);
        if (value.isValid() && value.toInt() == id)
            return widget;
    }
    return nullptr;
}

template <class T>
T* FindControl(const QObject& root, int id)
{
    return qobject_cast<T*>(FindControl(root, id));
}

} // namespace vistrel
