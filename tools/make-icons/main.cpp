// Writes the program's icon as PNG files of the usual sizes: make-icons OUTPUT_DIR
#include "app/Smiley.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-icons OUTPUT_DIR\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);
    for (int size : {16, 32, 48, 64, 128, 256}) {
        const QString dir = out + QStringLiteral("/%1x%1/apps").arg(size);
        if (!QDir().mkpath(dir) || !ks::drawSmiley(size).save(dir + QStringLiteral("/korvat-server.png"))) {
            std::fprintf(stderr, "make-icons: cannot write %s\n", qPrintable(dir));
            return 1;
        }
    }
    return 0;
}
