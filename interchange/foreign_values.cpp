#include "foreign_values.h"

#include "contact_table.h"

#include <QHash>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace vinzal::foreign {

QString category(const QStringList& labels, QStringList* others)
{
    QStringList given;
    for (const QString& label : labels) {
        const QString trimmed = label.trimmed();
        // A program's group of all contacts (every contact is in it) says nothing.
        if (trimmed.isEmpty() || trimmed.compare(u"* myContacts"_s, Qt::CaseInsensitive) == 0)
            continue;
        given.append(trimmed.startsWith(u"* "_s) ? trimmed.mid(2) : trimmed);
    }
    qsizetype chosen = -1;
    for (qsizetype i = 0; chosen < 0 && i < given.size(); ++i)
        if (contacts::isCategory(given.at(i)))
            chosen = i;
    for (qsizetype i = 0; chosen < 0 && i < given.size(); ++i)
        for (const QString& known : contacts::categories())
            if (known.compare(given.at(i), Qt::CaseInsensitive) == 0)
                chosen = i;
    QString result = contacts::defaultCategory();
    for (qsizetype i = 0; i < given.size(); ++i) {
        if (i != chosen) {
            others->append(given.at(i));
            continue;
        }
        for (const QString& known : contacts::categories())
            if (known.compare(given.at(i), Qt::CaseInsensitive) == 0)
                result = known;
    }
    return result;
}

QString italianLabel(const QString& label)
{
    static const QHash<QString, QString> labels{{u"name"_s, u"Nome"_s},
                                                {u"display name"_s, u"Nome visualizzato"_s},
                                                {u"gender"_s, u"Sesso"_s},
                                                {u"sesso"_s, u"Sesso"_s},
                                                {u"sensitivity"_s, u"Riservatezza"_s},
                                                {u"riservatezza"_s, u"Riservatezza"_s},
                                                {u"priority"_s, u"Priorità"_s},
                                                {u"priorità"_s, u"Priorità"_s},
                                                {u"private"_s, u"Privato"_s},
                                                {u"privato"_s, u"Privato"_s},
                                                {u"nickname"_s, u"Soprannome"_s},
                                                {u"birthday"_s, u"Compleanno"_s},
                                                {u"anniversary"_s, u"Anniversario"_s},
                                                {u"job title"_s, u"Qualifica"_s},
                                                {u"organization title"_s, u"Qualifica"_s},
                                                {u"organization 1 - title"_s, u"Qualifica"_s},
                                                {u"title"_s, u"Titolo"_s},
                                                {u"department"_s, u"Reparto"_s},
                                                {u"organization department"_s, u"Reparto"_s},
                                                {u"organization 1 - department"_s, u"Reparto"_s},
                                                {u"web page"_s, u"Sito"_s},
                                                {u"spouse"_s, u"Coniuge"_s},
                                                {u"children"_s, u"Figli"_s},
                                                {u"language"_s, u"Lingua"_s},
                                                {u"pager"_s, u"Cercapersone"_s},
                                                {u"country"_s, u"Paese"_s},
                                                {u"country/region"_s, u"Paese"_s},
                                                {u"home country/region"_s, u"Paese"_s},
                                                {u"business country/region"_s, u"Paese"_s},
                                                {u"other country/region"_s, u"Paese"_s},
                                                {u"home country"_s, u"Paese"_s},
                                                {u"work country"_s, u"Paese"_s},
                                                {u"paese"_s, u"Paese"_s},
                                                {u"paese di residenza"_s, u"Paese"_s},
                                                {u"paese di lavoro"_s, u"Paese"_s},
                                                {u"paese/area geografica (ab.)"_s, u"Paese"_s},
                                                {u"paese/area geografica (uff.)"_s, u"Paese"_s},
                                                {u"labels"_s, u"Categoria"_s},
                                                {u"categories"_s, u"Categoria"_s},
                                                {u"mobile"_s, u"Cellulare"_s},
                                                {u"cell"_s, u"Cellulare"_s},
                                                {u"home"_s, u"Casa"_s},
                                                {u"work"_s, u"Ufficio"_s},
                                                {u"business"_s, u"Ufficio"_s},
                                                {u"main"_s, u"Principale"_s},
                                                {u"other"_s, u"Altro"_s},
                                                {u"home fax"_s, u"Fax casa"_s},
                                                {u"work fax"_s, u"Fax ufficio"_s},
                                                {u"business fax"_s, u"Fax ufficio"_s},
                                                {u"other fax"_s, u"Fax"_s},
                                                {u"suffix"_s, u"Suffisso del nome"_s},
                                                {u"initials"_s, u"Iniziali"_s},
                                                {u"phonetic first name"_s, u"Nome (pronuncia)"_s},
                                                {u"phonetic middle name"_s, u"Secondo nome (pronuncia)"_s},
                                                {u"phonetic last name"_s, u"Cognome (pronuncia)"_s},
                                                {u"name prefix"_s, u"Prefisso del nome"_s},
                                                {u"name suffix"_s, u"Suffisso del nome"_s},
                                                {u"assistant's name"_s, u"Assistente"_s},
                                                {u"manager's name"_s, u"Responsabile"_s},
                                                {u"office location"_s, u"Ufficio"_s},
                                                {u"profession"_s, u"Professione"_s},
                                                {u"hobby"_s, u"Hobby"_s},
                                                {u"keywords"_s, u"Parole chiave"_s},
                                                {u"referred by"_s, u"Presentato da"_s},
                                                {u"location"_s, u"Luogo"_s},
                                                {u"other phone"_s, u"Altro telefono"_s},
                                                {u"primary phone"_s, u"Telefono principale"_s},
                                                {u"company main phone"_s, u"Centralino"_s},
                                                {u"home phone 2"_s, u"Telefono casa 2"_s},
                                                {u"business phone 2"_s, u"Telefono ufficio 2"_s},
                                                {u"car phone"_s, u"Telefono auto"_s},
                                                {u"assistant's phone"_s, u"Telefono assistente"_s},
                                                {u"radio phone"_s, u"Radiotelefono"_s},
                                                {u"callback"_s, u"Richiamata"_s},
                                                {u"e-mail type"_s, u"Tipo di e-mail"_s},
                                                {u"e-mail 2 type"_s, u"Tipo di e-mail"_s},
                                                {u"e-mail 3 type"_s, u"Tipo di e-mail"_s},
                                                {u"e-mail display name"_s, u"Nome dell'e-mail"_s},
                                                {u"e-mail 2 display name"_s, u"Nome dell'e-mail"_s},
                                                {u"e-mail 3 display name"_s, u"Nome dell'e-mail"_s},
                                                {u"home street"_s, u"Via (casa)"_s},
                                                {u"home address"_s, u"Via (casa)"_s},
                                                {u"home city"_s, u"Città (casa)"_s},
                                                {u"home postal code"_s, u"CAP (casa)"_s},
                                                {u"home zipcode"_s, u"CAP (casa)"_s},
                                                {u"home state"_s, u"Provincia (casa)"_s},
                                                {u"business street"_s, u"Via (ufficio)"_s},
                                                {u"work address"_s, u"Via (ufficio)"_s},
                                                {u"business city"_s, u"Città (ufficio)"_s},
                                                {u"work city"_s, u"Città (ufficio)"_s},
                                                {u"business postal code"_s, u"CAP (ufficio)"_s},
                                                {u"work zipcode"_s, u"CAP (ufficio)"_s},
                                                {u"business state"_s, u"Provincia (ufficio)"_s},
                                                {u"work state"_s, u"Provincia (ufficio)"_s}};
    const QString key = label.simplified().toLower();
    if (const auto found = labels.constFind(key); found != labels.cend())
        return *found;
    // The numbered columns of the web mail exports: "E-mail 2 - Value", "Address 1 - Country".
    static const QRegularExpression numbered(u"^(e-?mail|phone|website|address) (\\d+) - (.+)$"_s);
    if (const auto m = numbered.match(key); m.hasMatch()) {
        const QString part = m.captured(3);
        if (m.captured(1) == u"address"_s) {
            static const QHash<QString, QString> parts{{u"street"_s, u"Via"_s},
                                                       {u"city"_s, u"Città"_s},
                                                       {u"postal code"_s, u"CAP"_s},
                                                       {u"region"_s, u"Provincia"_s},
                                                       {u"formatted"_s, u"Indirizzo"_s},
                                                       {u"po box"_s, u"Casella postale"_s},
                                                       {u"extended address"_s, u"Indirizzo"_s}};
            if (part == u"country"_s) // alone, so that an Italian one is left out
                return u"Paese"_s;
            if (parts.contains(part))
                return parts.value(part) + u" (indirizzo "_s + m.captured(2) + u')';
        } else if (part == u"value"_s) {
            return m.captured(1) == u"phone"_s     ? u"Telefono"_s
                   : m.captured(1) == u"website"_s ? u"Sito"_s
                                                   : u"E-mail"_s;
        }
        return label;
    }
    // "E-mail 2 Address", "Other Phone" and the like.
    static const QRegularExpression email(u"^e-?mail( \\d+)? address$"_s);
    if (email.match(key).hasMatch())
        return u"E-mail"_s;
    return label;
}

QString remarkValue(const QString& label, const QString& value)
{
    struct Words
    {
        QStringList defaults; // lower case
        QHash<QString, QString> italian;
    };
    static const QHash<QString, Words> words{
        {u"Sesso"_s,
         {{u"unspecified"_s, u"non specificato"_s, u"0"_s},
          {{u"male"_s, u"Maschio"_s}, {u"female"_s, u"Femmina"_s}}}},
        {u"Riservatezza"_s,
         {{u"normal"_s, u"normale"_s, u"0"_s},
          {{u"personal"_s, u"Personale"_s},
           {u"private"_s, u"Privato"_s},
           {u"confidential"_s, u"Riservato"_s}}}},
        {u"Priorità"_s,
         {{u"normal"_s, u"normale"_s, u"0"_s}, {{u"high"_s, u"Alta"_s}, {u"low"_s, u"Bassa"_s}}}},
        {u"Privato"_s,
         {{u"false"_s, u"falso"_s, u"no"_s, u"0"_s}, {{u"true"_s, u"Sì"_s}, {u"vero"_s, u"Sì"_s}}}},
        {u"Paese"_s, {{u"it"_s, u"ita"_s, u"italia"_s, u"italy"_s}, {}}},
        // Internet mail: what every address is.
        {u"Tipo di e-mail"_s, {{u"smtp"_s}, {}}},
        // What some programs write for a birthday that was never given.
        {u"Compleanno"_s, {{u"0/0/00"_s, u"0/0/0000"_s, u"00/00/00"_s, u"00/00/0000"_s}, {}}},
        {u"Anniversario"_s, {{u"0/0/00"_s, u"0/0/0000"_s, u"00/00/00"_s, u"00/00/0000"_s}, {}}}};
    const auto found = words.constFind(label);
    if (found == words.cend())
        return value;
    const QString key = value.simplified().toLower();
    if (found->defaults.contains(key))
        return QString();
    return found->italian.value(key, value);
}

} // namespace vinzal::foreign
