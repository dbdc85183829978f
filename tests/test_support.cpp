#include "test_support.h"

#include "connection.h"
#include "contact_table.h"
#include "schema.h"

#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace vinzal::test {

void makeAddressBook(const QString& path, const QList<Contact>& contacts)
{
    const Status made = schema::create(path, false, [&](QSqlDatabase& db) -> Status {
        for (const Contact& contact : contacts) {
            QStringList columns, marks;
            for (const auto& [field, value] : contact) {
                columns.append(quoteIdentifier(field));
                marks.append(u"?"_s);
            }
            QSqlQuery query(db);
            query.prepare(contact.isEmpty() ? u"INSERT INTO \"Nomelia\" DEFAULT VALUES"_s
                                            : u"INSERT INTO \"Nomelia\" ("_s + columns.join(u","_s) +
                                                  u") VALUES ("_s + marks.join(u","_s) + u")"_s);
            for (const auto& pair : contact)
                query.addBindValue(pair.second);
            if (!query.exec())
                return StoreError::fromSql(query.lastError(), u"test"_s);
        }
        return {};
    });
    if (!made)
        qFatal("cannot make the test address book: %s", qPrintable(made.error().fullText()));
}

QVariantList sql(const QString& path, const QString& statement, const QVariantList& bindings)
{
    QVariantList result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"test-direct"_s);
        db.setDatabaseName(
            QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded) +
            u"?mode=rwc"_s);
        db.setConnectOptions(u"QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=4000"_s);
        if (!db.open())
            qFatal("cannot open %s", qPrintable(path));
        QSqlQuery query(db);
        query.prepare(statement);
        for (const QVariant& value : bindings)
            query.addBindValue(value);
        if (!query.exec())
            qFatal("%s: %s", qPrintable(statement), qPrintable(query.lastError().text()));
        while (query.next())
            result.append(query.value(0));
    }
    QSqlDatabase::removeDatabase(u"test-direct"_s);
    return result;
}

QVariant fieldOf(const QString& path, qint64 id, const QString& field)
{
    const QVariantList values =
        sql(path, u"SELECT "_s + quoteIdentifier(field) + u" FROM \"Nomelia\" WHERE rowid = ?"_s, {id});
    return values.isEmpty() ? QVariant() : values.first();
}

} // namespace vinzal::test
