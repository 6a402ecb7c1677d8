// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/format_probe.h"

namespace vistrel {

FormatProbe::FormatProbe(int device, FormatQuery query, QObject* parent)
    : FormatProbe(device, std::move(query), std::make_shared<Answer>(), parent)
{
}

FormatProbe::FormatProbe(int device, FormatQuery query, std::shared_ptr<Answer> answer, QObject* parent)
    : Task([query = std::move(query), answer](const TaskProgress&, const std::atomic<bool>& cancel) {
              answer->result = query(answer->formats, cancel);
          },
           parent)
    , device_(device)
    , answer_(std::move(answer))
{
}

} // namespace vistrel
