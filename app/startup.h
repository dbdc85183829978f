#pragma once

#include "access_import.h"

#include <QString>
#include <QStringList>

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
QString prepareBook(const CommandLine& line);

// Converts an Access file as `request` says, with the import vinzal-db uses, in a worker thread
// while the progress dialog shows and may cancel it. In place, the new book takes the file's name and
// permissions and the file is kept beside it; a failure or a cancel leaves it byte for byte and
// nothing beside it.
access::Conversion convertAccessFile(const access::ConversionRequest& request);

} // namespace vinzal::startup
