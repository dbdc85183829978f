#include "book_io.h"

#include "connection.h"
#include "contact_table.h"
#include "schema.h"

#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

namespace vinzal::book {

namespace {

QString columnList(bool withId)
{
    QStringList columns;
    for (const QString& field : contacts::fields())
        if (withId || field != contacts::idField())
            columns.append(quoteIdentifier(field));
    return columns.join(u", "_s);
}

Status insertAll(QSqlDatabase& db, const QList<QList<QVariant>>& records, bool keepIds)
{
    const int count = int(contacts::fields().size()) - (keepIds ? 0 : 1);
    QStringList marks;
    for (int i = 0; i < count; ++i)
        marks.append(u"?"_s);
    QSqlQuery insert(db);
    if (!insert.prepare(u"INSERT INTO "_s + quoteIdentifier(contacts::tableName()) + u" ("_s +
                        columnList(keepIds) + u") VALUES ("_s + marks.join(u", "_s) + u")"_s))
        return StoreError::fromSql(insert.lastError(), u"scrivere la rubrica"_s);
    for (const QList<QVariant>& record : records) {
        for (int i = keepIds ? 0 : 1; i < contacts::fields().size(); ++i)
            insert.addBindValue(record.value(i));
        if (!insert.exec())
            return StoreError::fromSql(insert.lastError(), u"scrivere la rubrica"_s);
    }
    return {};
}

} // namespace

Result<QList<QList<QVariant>>> readAll(const QString& path)
{
    auto connection = Connection::open(path);
    if (!connection)
        return connection.error();
    QSqlQuery query(connection.value()->database());
    query.setForwardOnly(true);
    if (!query.exec(u"SELECT "_s + columnList(true) + u" FROM "_s + quoteIdentifier(contacts::tableName()) +
                    u" ORDER BY rowid"_s))
        return StoreError::fromSql(query.lastError(), u"leggere la rubrica"_s);
    QList<QList<QVariant>> records;
    const int count = int(contacts::fields().size());
    while (query.next()) {
        QList<QVariant> record;
        record.reserve(count);
        for (int i = 0; i < count; ++i)
            record.append(query.value(i));
        records.append(record);
    }
    if (query.lastError().isValid())
        return StoreError::fromSql(query.lastError(), u"leggere la rubrica"_s);
    return records;
}

Status append(const QString& path, const QList<QList<QVariant>>& records)
{
    if (!QFileInfo::exists(path)) {
        // A new book keeps the IDs it is given, unless some are missing or repeated.
        QSet<qint64> ids;
        bool keepIds = true;
        for (const QList<QVariant>& record : records) {
            bool number = false;
            const qint64 id = record.value(0).toLongLong(&number);
            keepIds = keepIds && number && id > 0 && !ids.contains(id);
            ids.insert(id);
        }
        return schema::create(path, false, [&](QSqlDatabase& db) { return insertAll(db, records, keepIds); });
    }
    auto connection = Connection::open(path);
    if (!connection)
        return connection.error();
    QSqlDatabase db = connection.value()->database();
    if (!db.transaction())
        return StoreError::fromSql(db.lastError(), u"scrivere la rubrica"_s);
    if (Status inserted = insertAll(db, records, false); !inserted) {
        db.rollback();
        return inserted;
    }
    if (!db.commit())
        return StoreError::fromSql(db.lastError(), u"scrivere la rubrica"_s);
    return {};
}

} // namespace vinzal::book
