#include "contact_table.h"

using namespace Qt::StringLiterals;

namespace vinzal::contacts {

QString fileName()
{
    return u"Vinzal.mdb"_s;
}
QString tableName()
{
    return u"Nomelia"_s;
}
QString connectString()
{
    return u"Access 2000;"_s;
}
QString idField()
{
    return u"ID"_s;
}
QString categoryField()
{
    return u"Genere"_s;
}
QString defaultCategory()
{
    return u"Altro"_s;
}

const QStringList& fields()
{
    static const QStringList names{u"ID"_s,
                                   u"Genere"_s,
                                   u"Cognone e nome o denominazione"_s,
                                   u"ulteriore identificativo"_s,
                                   u"Città"_s,
                                   u"Indirizzo"_s,
                                   u"E-Mail"_s,
                                   u"Telelefono casa"_s,
                                   u"Telefono Ufficio"_s,
                                   u"Fax"_s,
                                   u"Telefonino"_s,
                                   u"Osservazioni"_s};
    return names;
}

const QStringList& indexNames()
{
    static const QStringList names{u"Genere"_s,
                                   u"Cognone e nome o denominazione"_s,
                                   u"ulteriore identificativo"_s,
                                   u"Città"_s,
                                   u"Indirizzo"_s,
                                   u"Telelefono casa"_s,
                                   u"Telefonino"_s,
                                   u"Telefono Ufficio"_s,
                                   u"E-Mail"_s,
                                   u"Fax"_s,
                                   u"Osservazioni"_s};
    return names;
}

const QStringList& categories()
{
    static const QStringList values{u"Famiglia-Amici"_s, u"Lavoro"_s, u"Altro"_s};
    return values;
}

bool isCategory(const QString& text)
{
    // QStringList::contains compares case-sensitively by default; nothing is trimmed or folded.
    return categories().contains(text, Qt::CaseSensitive);
}

int fieldPosition(const QString& field)
{
    return int(fields().indexOf(field));
}

} // namespace vinzal::contacts
