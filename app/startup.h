#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// What `vinzal` does before its first window: reads its command line, finds the address book and,
// for the two cases a desktop user meets, makes it ready (the personal book on the very first start
// from the menu, an Access file opened from the file manager).
namespace vinzal::startup {

struct CommandLine
{
    enum class Action { Run, Help, Version, BadUsage };
    Action action = Action::Run;
    QString book;          // as given; empty when none was named
    bool personal = false; // --personale
    QString problem;       // for BadUsage, in Italian
};

// `arguments` without the program's name and without the options Qt has taken for itself.
CommandLine parse(const QStringList& arguments);

// The text of --help and of --version.
QString usage();
QString version();

// The user's own book: $XDG_DATA_HOME/vinzal/Vinzal.mdb (~/.local/share/vinzal/Vinzal.mdb).
QString personalBook();

// The book the window opens: BOOK when given, else the personal book with --personale, else
// "Vinzal.mdb" in the working directory. Makes the personal book when it does not exist yet (the
// only book the program ever creates) and offers to convert an Access file; every question and
// message goes through the dialog interface. Returns the path to open, which the window reports
// on as usual when it cannot be opened.
QString prepareBook(const CommandLine& line, const QString& importTool);

// vinzal-db beside this program (installed together in one folder), or in the build tree.
QString findImportTool();

// How an Access file is converted, and what came of it.
struct Conversion
{
    QString table;                 // the table holding the contacts; empty for the address book's own
    bool skipExtraColumns = false; // columns the address book lacks are left out rather than refused
    QString target;                // where the new book goes; empty to take the Access file's name and place
    // What came of it:
    QString kept;           // in place, the name the Access file is kept under
    QString problem;        // on failure, what the import said
    QStringList tables;     // when the file has no such table, the tables it has
    QString extraColumns;   // when the table has columns the address book lacks, their names
    bool cancelled = false; // the user stopped it: nothing was changed
};

// Converts the Access file at `path` with `importTool import`, into `conversion.target` or in place:
// the new address book then takes the name `path` and the original is kept beside it under another
// name. On failure nothing is changed and `conversion` says why.
bool convertAccessFile(const QString& path, const QString& importTool, Conversion& conversion);

} // namespace vinzal::startup
