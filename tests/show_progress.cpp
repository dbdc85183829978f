// The progress of a long export, as the program shows it, held until the user presses Annulla: the
// accessibility check reads it through AT-SPI while it goes on, which a real export of a test's book
// is over too soon for.
#include "application.h"
#include "dialogs.h"

#include <QApplication>
#include <QTimer>

using namespace Qt::StringLiterals;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    vinzal::setUpApplication(app);
    auto progress = vinzal::Dialogs::instance().startProgress(nullptr, u"Esporta la rubrica"_s,
                                                              u"Esportazione in «rubrica.csv»…"_s);
    qint64 done = 0;
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout, &app, [&] {
        done = (done + 1) % 1000;
        if (!progress->advance(done, 1000))
            app.quit();
    });
    ticks.start(50);
    // Ended by the check in any case; never left behind by one that failed.
    QTimer::singleShot(300000, &app, &QApplication::quit);
    return app.exec();
}
