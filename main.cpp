// Kivo Systems Socket Test Program: tests a thermal ticket printer over Ethernet.
#include "console/frmkivo.h"

#include <QApplication>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char* argv[]) {
    // Keep descriptors 0 to 2 taken, so a socket never gets one of them when the
    // program is started without standard input or output.
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) == -1) ::open("/dev/null", O_RDWR);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kivo Systems Socket Test Program"));
    QApplication::setApplicationVersion(QStringLiteral("2.0"));
    kivo::frmkivo window;
    window.show();
    return QApplication::exec();
}
