#include "app/camera_app.h"

#include <QApplication>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    // Used by scripts/run.sh before the first start: needs no display.
    if (argc == 2 && std::strcmp(argv[1], "--seed-defaults") == 0) {
        std::string message;
        const bool ok = vistrel::SeedDefaultSettings(message);
        std::fprintf(ok ? stdout : stderr, "%s\n", message.c_str());
        return ok ? 0 : 1;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vistrel"));
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    vistrel::CCameraApp app;
    return app.Run(arguments);
}
