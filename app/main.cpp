// vinzal: the address book. Its start-up object is the contact card, Form1.
#include "application.h"
#include "form1.h"
#include "startup.h"

#include <QApplication>

#include <cstdio>

namespace {

void print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

} // namespace

int main(int argc, char* argv[])
{
    using vinzal::startup::CommandLine;
    // --help and --version answer at once, without a display. The full reading of the command line
    // waits until Qt has taken its own options (-platform, -display, ...).
    QStringList words;
    for (int i = 1; i < argc; ++i)
        words.append(QString::fromLocal8Bit(argv[i]));
    for (const QString& word : std::as_const(words)) {
        if (word == QLatin1String("--"))
            break;
        if (word == QLatin1String("--help") || word == QLatin1String("-h")) {
            print(stdout, vinzal::startup::usage());
            return 0;
        }
        if (word == QLatin1String("--version")) {
            print(stdout, vinzal::startup::version());
            return 0;
        }
    }
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
    // The desktop entry: window managers and docks find the icon and the name by it.
    QGuiApplication::setDesktopFileName(QStringLiteral("it.vinzal.Vinzal"));
    const CommandLine line = vinzal::startup::parse(app.arguments().mid(1));
    if (line.action == CommandLine::Action::BadUsage) {
        print(stderr, QStringLiteral("vinzal: %1\nProvare «vinzal --help».\n").arg(line.problem));
        return 2;
    }
    const QString book = vinzal::startup::prepareBook(line, vinzal::startup::findImportTool());
    vinzal::Form1 form1(nullptr, book);
    form1.show();
    return app.exec();
}
