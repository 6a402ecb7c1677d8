// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QComboBox>
#include <QString>

namespace vistrel {

// Selects the first entry that begins with `prefix`, case ignored; leaves the
// selection alone and returns false when none does.
inline bool SelectByPrefix(QComboBox& list, const QString& prefix)
{
    for (int i = 0; i < list.count(); ++i) {
        if (list.itemText(i).startsWith(prefix, Qt::CaseInsensitive)) {
            list.setCurrentIndex(i);
            return true;
        }
    }
    return false;
}

} // namespace vistrel
