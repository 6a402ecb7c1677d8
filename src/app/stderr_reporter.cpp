// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/stderr_reporter.h"

#include <QGuiApplication>

#include <cstdio>
#include <string>

namespace vistrel {

void StderrMessageReporter::ShowMessage(const std::string& text, const std::string& caption, MessageIcon)
{
    std::string line = caption + ": " + text;
    for (char& c : line) {
        if (c == '\n')
            c = ' ';
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

std::unique_ptr<IMessageReporter> MakeProgramReporter(QWidget* parent)
{
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return std::make_unique<StderrMessageReporter>();
    return std::make_unique<QtMessageReporter>(parent);
}

} // namespace vistrel
