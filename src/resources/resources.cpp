// SPDX-License-Identifier: GPL-3.0-or-later
#include "resources/resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void initVistrelResources()
{
    Q_INIT_RESOURCE(vistrel);
}

namespace vistrel {

void InitResources()
{
    static const bool once = [] {
        initVistrelResources();
        return true;
    }();
    Q_UNUSED(once);
}

QIcon ApplicationIcon()
{
    InitResources();
    return QIcon(QStringLiteral(":/vistrel/icon-128.png"));
}

} // namespace vistrel
