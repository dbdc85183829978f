#include "engine.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <libpq-fe.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

bool isUri(const QString& book)
{
    return book.startsWith(u"postgresql://"_s) || book.startsWith(u"postgres://"_s);
}

using Options = std::unique_ptr<PQconninfoOption, void (*)(PQconninfoOption*)>;

Options parse(const QString& book, QString* error)
{
    char* message = nullptr;
    const QByteArray text = book.toUtf8();
    Options options(PQconninfoParse(text.constData(), &message), PQconninfoFree);
    if (!options && error)
        *error = message ? QString::fromUtf8(message).trimmed() : u"memoria insufficiente"_s;
    PQfreemem(message);
    return options;
}

// The keywords whose values are secrets, never shown.
bool secret(const char* keyword)
{
    return qstrcmp(keyword, "password") == 0 || qstrcmp(keyword, "sslpassword") == 0;
}

// A text libpq could not read may still be a connection string with one word misspelt, and then
// holds a password in the clear. Whatever follows a password key is hidden (to the closing quote of
// a quoted value, to the next blank otherwise, spaces around '=' or not), and a URI's user
// information from its ':' to the last '@'. Hiding too much is harmless; showing a password is not.
QString withoutSecrets(QString text)
{
    static const QRegularExpression key(
        uR"((password\s*=\s*)(?:'(?:[^'\\]|\\.?)*'?|"(?:[^"\\]|\\.?)*"?|\S*))"_s,
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression userInfo(uR"((:/+[^\s:/@]*:).*@)"_s); // "//" may be folded
    text.replace(key, u"\\1***"_s);
    text.replace(userInfo, u"\\1***@"_s);
    return text;
}

} // namespace

bool isServerBook(const QString& book)
{
    if (QFileInfo::exists(book))
        return false;
    // A URI is meant for a server even when it is malformed (and is then refused as such); a
    // keyword string is one only when libpq reads it as one, so that "a=b.mdb" stays a file.
    return isUri(book) || (book.contains(u'=') && parse(book, nullptr));
}

QList<std::pair<QString, QString>> serverParameters(const QString& book, QString* error)
{
    QList<std::pair<QString, QString>> parameters;
    const Options options = parse(book, error);
    if (!options)
        return parameters;
    for (const PQconninfoOption* option = options.get(); option->keyword; ++option)
        if (option->val)
            parameters.append({QString::fromUtf8(option->keyword), QString::fromUtf8(option->val)});
    return parameters;
}

bool looksLikeServerBook(const QString& text)
{
    static const QRegularExpression pattern = [] {
        QStringList keywords{u"password"_s};
        if (PQconninfoOption* defaults = PQconndefaults()) {
            for (const PQconninfoOption* option = defaults; option->keyword; ++option)
                keywords.append(QRegularExpression::escape(QString::fromUtf8(option->keyword)));
            PQconninfoFree(defaults);
        }
        return QRegularExpression(u"^[a-z][a-z0-9+.-]*://|(?:^|\\s)(?:"_s + keywords.join(u'|') + u")\\s*="_s,
                                  QRegularExpression::CaseInsensitiveOption);
    }();
    return isServerBook(text) || pattern.match(text).hasMatch() || withoutSecrets(text) != text;
}

QString shownBook(const QString& book)
{
    if (!isServerBook(book))
        return withoutSecrets(book);
    // Rebuilt from what libpq reads, less the secrets: no spelling of a password in a URI or a
    // keyword string (encoded, after a '?', under another keyword) can reach a message this way.
    const Options options = parse(book, nullptr);
    if (!options)
        return u"(collegamento al server scritto in modo non valido)"_s;
    QStringList shown;
    for (const PQconninfoOption* option = options.get(); option->keyword; ++option) {
        if (!option->val || secret(option->keyword))
            continue;
        QString value = QString::fromUtf8(option->val);
        if (value.isEmpty() || value.contains(u' ') || value.contains(u'\'') || value.contains(u'\\'))
            value = u"'"_s + value.replace(u"\\"_s, u"\\\\"_s).replace(u"'"_s, u"\\'"_s) + u"'"_s;
        shown.append(QString::fromUtf8(option->keyword) + u'=' + value);
    }
    return shown.join(u' ');
}

namespace dialect {

QString rowid(Engine engine)
{
    return engine == Engine::Sqlite ? u"rowid"_s : u"\"ID\""_s;
}

QString same(Engine engine, const QString& a, const QString& b)
{
    return a + (engine == Engine::Sqlite ? u" IS "_s : u" IS NOT DISTINCT FROM "_s) + b;
}

QString guarded(Engine engine, const QString& column)
{
    return engine == Engine::Sqlite ? u"CAST("_s + column + u" AS BLOB)"_s : column;
}

Value guardValue(Engine engine, const Value& stored)
{
    // On a file, the stored bytes as a blob, whatever their kind (see guarded()).
    if (engine == Engine::Sqlite && !stored.isNull())
        return Value::blob(stored.bytes());
    return stored;
}

QString ascending(Engine engine, const QString& key)
{
    return engine == Engine::Sqlite ? key : key + u" NULLS FIRST"_s;
}

QString descending(Engine engine, const QString& key)
{
    return engine == Engine::Sqlite ? key + u" DESC"_s : key + u" DESC NULLS LAST"_s;
}

QString beginWrite(Engine engine)
{
    return engine == Engine::Sqlite ? u"BEGIN IMMEDIATE"_s : u"BEGIN"_s;
}

QString beginSnapshot(Engine engine)
{
    return engine == Engine::Sqlite ? u"BEGIN"_s : u"BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"_s;
}

QString tableSchema()
{
    return u"(SELECT n.nspname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
           u"WHERE c.oid = to_regclass(?))"_s;
}

QString bookMark()
{
    return u"obj_description(to_regclass(?), 'pg_class')"_s;
}

} // namespace dialect
} // namespace vinzal
