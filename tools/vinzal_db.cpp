// vinzal-db: makes, fills and checks address books. The program itself never creates a file or
// touches its schema; everything of that kind happens here.
#include "contact_table.h"
#include "demo_data.h"
#include "schema.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTextStream>

#include <optional>

using namespace Qt::StringLiterals;

namespace {

enum Exit { Success = 0, Failure = 1, BadUsage = 2 };

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream& err()
{
    static QTextStream stream(stderr);
    return stream;
}

const QString usage = uR"(Uso: vinzal-db COMANDO [OPZIONI] [FILE]

Crea, riempie e controlla le rubriche di Vinzal. FILE è "Vinzal.mdb" nella cartella corrente
quando non è indicato.

Comandi:
  create [FILE] [--force]              crea una rubrica vuota
  demo [FILE] [--rows N] [--seed S] [--force]
                                       crea una rubrica dimostrativa con N contatti italiani
                                       realistici (1000 se N non è indicato); lo stesso seme dà
                                       sempre gli stessi contatti
  check [FILE]                         controlla l'integrità e lo schema della rubrica
  help                                 mostra questo aiuto

Opzioni:
  --force      sostituisce un file esistente (altrimenti non viene mai sovrascritto)
  -h, --help   mostra questo aiuto

Stato di uscita: 0 riuscito, 1 non riuscito, 2 uso errato.
)"_s;

int badUsage(const QString& message)
{
    err() << "vinzal-db: " << message << "\n" << "Provare «vinzal-db --help».\n";
    err().flush();
    return BadUsage;
}

struct Arguments
{
    QString file = vinzal::contacts::fileName();
    bool force = false;
    qint64 rows = 1000;
    quint64 seed = 2008;
};

// Parses the words after the command; `allowed` lists the options the command takes.
std::optional<Arguments> parse(const QStringList& words, const QStringList& allowed, QString& problem)
{
    Arguments args;
    bool haveFile = false;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString& word = words.at(i);
        if (word.startsWith(u"--"_s) && !allowed.contains(word)) {
            problem = u"opzione sconosciuta «"_s + word + u"»"_s;
            return std::nullopt;
        }
        if (word == u"--force"_s) {
            args.force = true;
        } else if (word == u"--rows"_s || word == u"--seed"_s) {
            bool ok = false;
            const QString value = i + 1 < words.size() ? words.at(++i) : QString();
            const qlonglong number = value.toLongLong(&ok);
            if (!ok || number < 0) {
                problem = word + u" vuole un numero intero non negativo"_s;
                return std::nullopt;
            }
            if (word == u"--rows"_s)
                args.rows = number;
            else
                args.seed = quint64(number);
        } else if (!haveFile) {
            args.file = word;
            haveFile = true;
        } else {
            problem = u"troppi argomenti: «"_s + word + u"»"_s;
            return std::nullopt;
        }
    }
    return args;
}

int fail(const vinzal::StoreError& error)
{
    err() << "vinzal-db: " << error.fullText() << "\n";
    return Failure;
}

int create(const Arguments& args)
{
    if (vinzal::Status made = vinzal::schema::create(args.file, args.force); !made)
        return fail(made.error());
    out() << "Creata la rubrica vuota «" << args.file << "».\n";
    return Success;
}

int demo(const Arguments& args)
{
    QElapsedTimer timer;
    timer.start();
    const auto fill = [&](QSqlDatabase& db) { return vinzal::demo::fill(db, args.rows, args.seed); };
    if (vinzal::Status made = vinzal::schema::create(args.file, args.force, fill); !made)
        return fail(made.error());
    out() << "Creata la rubrica dimostrativa «" << args.file << "» con " << args.rows << " contatti in "
          << QString::number(double(timer.elapsed()) / 1000.0, 'f', 1) << " s.\n";
    return Success;
}

int check(const Arguments& args)
{
    const QStringList problems = vinzal::schema::check(args.file);
    if (problems.isEmpty()) {
        out() << "La rubrica «" << args.file << "» è integra e ha lo schema di Vinzal.\n";
        return Success;
    }
    err() << "La rubrica «" << args.file << "» ha " << problems.size()
          << (problems.size() == 1 ? " problema:\n" : " problemi:\n");
    for (const QString& problem : problems)
        err() << "  - " << problem << "\n";
    return Failure;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList words = app.arguments().mid(1);
    if (words.isEmpty())
        return badUsage(u"manca il comando"_s);
    const QString command = words.takeFirst();
    if (command == u"help"_s || command == u"--help"_s || command == u"-h"_s || words.contains(u"--help"_s) ||
        words.contains(u"-h"_s)) {
        out() << usage;
        return Success;
    }
    QStringList allowed;
    if (command == u"create"_s)
        allowed = {u"--force"_s};
    else if (command == u"demo"_s)
        allowed = {u"--force"_s, u"--rows"_s, u"--seed"_s};
    else if (command != u"check"_s)
        return badUsage(u"comando sconosciuto «"_s + command + u"»"_s);

    QString problem;
    const std::optional<Arguments> args = parse(words, allowed, problem);
    if (!args)
        return badUsage(problem);
    if (command == u"create"_s)
        return create(*args);
    if (command == u"demo"_s)
        return demo(*args);
    return check(*args);
}
