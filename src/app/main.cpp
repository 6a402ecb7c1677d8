// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/camera_app.h"
#include "app/command_line.h"
#include "app/web_password.h"

#include <QApplication>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);

    // Long options are read before Qt starts, so that they need no display.
    const vistrel::LongOptions options = vistrel::ReadLongOptions(arguments);
    switch (options.action) {
    case vistrel::LongOptionAction::Help:
        std::fputs(vistrel::UsageText().c_str(), stdout);
        return 0;
    case vistrel::LongOptionAction::Version:
        std::fputs(vistrel::VersionText().c_str(), stdout);
        return 0;
    case vistrel::LongOptionAction::Unknown:
        std::fprintf(stderr, "vistrel: unknown option %s\n%s", options.unknown.c_str(), vistrel::UsageText().c_str());
        return 2;
    case vistrel::LongOptionAction::BadValue:
        std::fprintf(stderr, "vistrel: %s\n%s", options.error.c_str(), vistrel::UsageText().c_str());
        return 2;
    case vistrel::LongOptionAction::SeedDefaults: {
        // Used by scripts/run.sh and the user units before the first start.
        std::string message;
        const bool ok = vistrel::SeedDefaultSettings(message, options.instance > 0 ? options.instance : 1);
        std::fprintf(ok ? stdout : stderr, "%s\n", message.c_str());
        return ok ? 0 : 1;
    }
    case vistrel::LongOptionAction::WebPassword:
        return vistrel::RunWebPasswordCommand(arguments);
    case vistrel::LongOptionAction::Run:
        break;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vistrel"));
    // Qt has taken its own options (-platform and the like) out of argv.
    arguments.assign(argv + 1, argv + argc);
    vistrel::CCameraApp app;
    return app.Run(arguments, options.instance);
}
