// vinzal: the address book. Its start-up object is the contact card, Form1.
#include "application.h"
#include "form1.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
#ifdef Q_OS_LINUX
    // Without a display Qt would stop with a message about platform plugins; say it plainly.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fputs("Vinzal è un programma a finestre e qui non c'è uno schermo grafico (DISPLAY non è "
                   "impostata).\nAvviarlo da una sessione grafica, con «ssh -X», oppure sotto Xvfb.\n",
                   stderr);
        return 1;
    }
#endif
    QApplication app(argc, argv);
    vinzal::setUpApplication(app);
    vinzal::Form1 form1;
    form1.show();
    return app.exec();
}
