// Fuzz target over the file-opening path: whatever bytes "Vinzal.mdb" holds, opening it, moving,
// seeking, reading it as a dynaset and checking it must fail cleanly, never crash.
#include "contact_table.h"
#include "record_navigator.h"
#include "schema.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

using namespace Qt::StringLiterals;
using namespace vinzal;

namespace {

QString scratch()
{
    static QTemporaryDir dir;
    return dir.filePath(contacts::fileName());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // The store reads the file through sqlite3; Qt Core still wants an application object for the
    // dynaset's queued hand-over of the id list.
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = scratch();
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    QFile::remove(path + u"-journal"_s);

    for (auto type : {RecordNavigator::RecordsetType::Table, RecordNavigator::RecordsetType::Dynaset}) {
        RecordNavigator navigator;
        TextFields fields(navigator);
        navigator.setDatabaseName(path);
        navigator.setRecordsetType(type);
        if (!navigator.open())
            continue;
        (void)navigator.moveNext();
        (void)navigator.moveLast();
        (void)navigator.movePrevious();
        if (type == RecordNavigator::RecordsetType::Table) {
            (void)navigator.setIndex(u"Città"_s);
            (void)navigator.seek(u">="_s, u"M"_s);
            (void)navigator.moveNext();
        } else if (navigator.dynaset()->size() > 0) {
            (void)navigator.dynaset()->rowAt(navigator.dynaset()->size() - 1);
        }
        fields[u"Città"_s].type(u"x"_s);
        (void)navigator.refresh();
    }
    (void)schema::check(path);
    return 0;
}
