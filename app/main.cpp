// vinzal: the address book. Its start-up object is the contact card, Form1.
#include "application.h"
#include "form1.h"
#include "startup.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

void print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

// The words of the command line that are vinzal's own. Qt takes its options (-platform NAME,
// -display NAME, -style NAME, ..., also spelt with two dashes) only when the application object is
// made, which needs a display; they are left out here so that the command line can be judged first,
// and a wrong one is exit 2 whatever the display. `platformGiven` tells whether -platform was among
// them, which makes a display unnecessary.
QStringList ownWords(int argc, char* argv[], bool& platformGiven)
{
    static const QStringList qtWithValue = {u"-platform"_s,
                                            u"-platformpluginpath"_s,
                                            u"-platformtheme"_s,
                                            u"-plugin"_s,
                                            u"-qwindowgeometry"_s,
                                            u"-geometry"_s,
                                            u"-qwindowtitle"_s,
                                            u"-title"_s,
                                            u"-qwindowicon"_s,
                                            u"-icon"_s,
                                            u"-session"_s,
                                            u"-style"_s,
                                            u"-stylesheet"_s,
                                            u"-display"_s,
                                            u"-name"_s,
                                            u"-visual"_s};
    static const QStringList qtFlags = {u"-reverse"_s, u"-testability"_s, u"-widgetcount"_s,
                                        u"-qdevel"_s,  u"-dograb"_s,      u"-nograb"_s};
    static const QStringList qtWithEquals = {u"-style="_s, u"-stylesheet="_s, u"-qmljsdebugger="_s};
    QStringList words;
    platformGiven = false;
    for (int i = 1; i < argc; ++i) {
        const QString word = QString::fromLocal8Bit(argv[i]);
        const QString qtSpelling = word.startsWith(u"--"_s) ? word.mid(1) : word;
        if (qtWithValue.contains(qtSpelling) && i + 1 < argc) {
            platformGiven = platformGiven || qtSpelling == u"-platform"_s;
            ++i;
        } else if (!qtFlags.contains(qtSpelling) &&
                   std::none_of(qtWithEquals.begin(), qtWithEquals.end(),
                                [&](const QString& prefix) { return qtSpelling.startsWith(prefix); })) {
            words.append(word);
        }
    }
    return words;
}

int badUsage(const QString& problem)
{
    print(stderr, u"vinzal: %1\nProvare «vinzal --help».\n"_s.arg(problem));
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    using vinzal::startup::CommandLine;
    bool platformGiven = false;
    const CommandLine early = vinzal::startup::parse(ownWords(argc, argv, platformGiven));
    if (early.action == CommandLine::Action::Help) {
        print(stdout, vinzal::startup::usage());
        return 0;
    }
    if (early.action == CommandLine::Action::Version) {
        print(stdout, vinzal::startup::version());
        return 0;
    }
    if (early.action == CommandLine::Action::BadUsage)
        return badUsage(early.problem);
#ifdef Q_OS_LINUX
    // Without a display Qt would stop with a message about platform plugins; say it plainly.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !platformGiven) {
        std::fputs("Vinzal è un programma a finestre e qui non c'è uno schermo grafico (DISPLAY non è "
                   "impostata).\nAvviarlo da una sessione grafica, con «ssh -X», oppure sotto Xvfb.\n",
                   stderr);
        return 1;
    }
#endif
    QApplication app(argc, argv);
    vinzal::setUpApplication(app);
    // Read again from what Qt left: Qt's own reading of its options is the one that counts.
    const CommandLine line = vinzal::startup::parse(app.arguments().mid(1));
    if (line.action == CommandLine::Action::BadUsage)
        return badUsage(line.problem);
    const QString book = vinzal::startup::prepareBook(line);
    vinzal::Form1 form1(nullptr, book);
    form1.show();
    return app.exec();
}
