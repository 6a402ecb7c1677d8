#pragma once

#include <QObject>
#include <QVariant>
#include <QWidget>

namespace vistrel {

// Every control of the windows carries the id of its dialog template in the
// dynamic property "controlId", so it can be found by number.
inline void SetControlId(QObject* control, int id)
{
    control->setProperty("controlId", id);
}

inline QWidget* FindControl(const QObject* root, int id)
{
    const QList<QWidget*> widgets = root->findChildren<QWidget*>();
    for (QWidget* widget : widgets) {
        const QVariant value = widget->property("controlId");
        if (value.isValid() && value.toInt() == id)
            return widget;
    }
    return nullptr;
}

} // namespace vistrel
