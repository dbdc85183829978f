#include "demo_data.h"

#include "contact_rows.h"
#include "contact_table.h"

#include <QHash>
#include <QStringList>

#include <algorithm>
#include <array>
#include <vector>

using namespace Qt::StringLiterals;

namespace vinzal::demo {

namespace {

// SplitMix64: tiny, fast and the same on every platform, unlike the standard distributions.
class Random
{
public:
    explicit Random(quint64 seed) : m_state(seed) {}
    quint64 next()
    {
        quint64 z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    int below(int n) { return int(next() % quint64(n)); }
    bool chance(int percent) { return below(100) < percent; }
    template <typename List> const auto& pick(const List& list) { return list[below(int(list.size()))]; }
    QString digits(int count)
    {
        QString text;
        for (int i = 0; i < count; ++i)
            text.append(QChar(u'0' + below(10)));
        return text;
    }

private:
    quint64 m_state;
};

struct Town
{
    const char16_t* name;
    const char16_t* prefix; // telephone area code
};

const std::array surnames{
    u"Rossi",    u"Russo",      u"Ferrari",  u"Esposito",   u"Bianchi",    u"Romano",    u"Colombo",
    u"Ricci",    u"Marino",     u"Greco",    u"Bruno",      u"Gallo",      u"Conti",     u"De Luca",
    u"Mancini",  u"Costa",      u"Giordano", u"Rizzo",      u"Lombardi",   u"Moretti",   u"Barbieri",
    u"Fontana",  u"Santoro",    u"Mariani",  u"Rinaldi",    u"Caruso",     u"Ferrara",   u"Galli",
    u"Martini",  u"Leone",      u"Longo",    u"Gentile",    u"Martinelli", u"Vitale",    u"Serra",
    u"Coppola",  u"De Santis",  u"D'Angelo", u"Marchetti",  u"Parisi",     u"Villa",     u"Conte",
    u"Ferraro",  u"Fabbri",     u"Bianco",   u"Marini",     u"Grasso",     u"Valentini", u"Messina",
    u"Sala",     u"De Angelis", u"Gatti",    u"Pellegrini", u"Palumbo",    u"Sanna",     u"Farina",
    u"Monti",    u"Cattaneo",   u"Morelli",  u"Amato",      u"Silvestri",  u"Testa",     u"Carbone",
    u"Giuliani", u"Benedetti",  u"Barone",   u"Caputo",     u"Guerra",     u"Fiore",     u"D'Amico",
    u"Orlando",  u"Sorrentino", u"Piras",    u"Nicolò",     u"Zanetti",    u"Pàstina"};
const std::array givenNames{
    u"Marco",    u"Giuseppe", u"Francesca", u"Giulia",   u"Alessandro", u"Chiara",    u"Luca",     u"Sara",
    u"Andrea",   u"Federica", u"Matteo",    u"Elena",    u"Lorenzo",    u"Valentina", u"Davide",   u"Martina",
    u"Simone",   u"Laura",    u"Stefano",   u"Anna",     u"Paolo",      u"Silvia",    u"Roberto",  u"Paola",
    u"Antonio",  u"Maria",    u"Giovanni",  u"Lucia",    u"Niccolò",    u"Elisa",     u"Fabrizio", u"Alessia",
    u"Riccardo", u"Ilaria",   u"Emanuele",  u"Beatrice", u"Salvatore",  u"Rosa",      u"Vincenzo", u"Carla",
    u"Gianluca", u"Noemi",    u"Ludovica",  u"Pietro",   u"Tommaso"};
const std::array towns{Town{u"Roma", u"06"},
                       Town{u"Milano", u"02"},
                       Town{u"Napoli", u"081"},
                       Town{u"Torino", u"011"},
                       Town{u"Palermo", u"091"},
                       Town{u"Genova", u"010"},
                       Town{u"Bologna", u"051"},
                       Town{u"Firenze", u"055"},
                       Town{u"Bari", u"080"},
                       Town{u"Catania", u"095"},
                       Town{u"Venezia", u"041"},
                       Town{u"Verona", u"045"},
                       Town{u"Padova", u"049"},
                       Town{u"Trieste", u"040"},
                       Town{u"Brescia", u"030"},
                       Town{u"Parma", u"0521"},
                       Town{u"Modena", u"059"},
                       Town{u"Perugia", u"075"},
                       Town{u"Cagliari", u"070"},
                       Town{u"Forlì", u"0543"},
                       Town{u"Cantù", u"031"},
                       Town{u"L'Aquila", u"0862"},
                       Town{u"Aosta", u"0165"},
                       Town{u"Potenza", u"0971"},
                       Town{u"Città di Castello", u"075"},
                       Town{u"Sant'Antioco", u"0781"},
                       Town{u"Reggio Calabria", u"0965"},
                       Town{u"Bolzano", u"0471"}};
const std::array streets{u"Via Roma",          u"Via Garibaldi",        u"Corso Vittorio Emanuele II",
                         u"Piazza del Popolo", u"Via dei Mille",        u"Viale Europa",
                         u"Via Mazzini",       u"Via Cavour",           u"Via XX Settembre",
                         u"Largo Augusto",     u"Via Dante Alighieri",  u"Via San Francesco d'Assisi",
                         u"Vicolo Stretto",    u"Via della Repubblica", u"Via Nazionale",
                         u"Lungomare Colombo", u"Piazza Duomo",         u"Via Libertà"};
const std::array mailDomains{u"libero.it",   u"gmail.com", u"alice.it",   u"tiscali.it",
                             u"virgilio.it", u"yahoo.it",  u"hotmail.it", u"fastwebnet.it"};
const std::array firmKinds{u"S.r.l.", u"S.n.c.", u"S.p.A.", u"& Figli", u"S.a.s."};
const std::array firmTrades{u"Officina",          u"Ferramenta", u"Studio Legale", u"Farmacia",
                            u"Pizzeria",          u"Idraulica",  u"Autoscuola",    u"Panificio",
                            u"Studio Dentistico", u"Tipografia"};
const std::array relations{u"cugino",
                           u"cugina",
                           u"zio",
                           u"zia",
                           u"nonna",
                           u"vicino di casa",
                           u"collega d'ufficio",
                           u"amico dell'università",
                           u"compagna di corso",
                           u"suocero",
                           u"cognata",
                           u"padrino"};
const std::array workRoles{u"commercialista",
                           u"dentista",
                           u"medico di base",
                           u"avvocato",
                           u"idraulico",
                           u"elettricista",
                           u"meccanico",
                           u"agente assicurativo",
                           u"amministratore di condominio"};
const std::array months{u"gennaio", u"febbraio", u"marzo",     u"aprile",  u"maggio",   u"giugno",
                        u"luglio",  u"agosto",   u"settembre", u"ottobre", u"novembre", u"dicembre"};
const std::array remarks{u"Preferisce essere chiamato la sera.",
                         u"Richiamare dopo le 18.",
                         u"Chiuso il lunedì.",
                         u"Ha cambiato numero di cellulare.",
                         u"Regalo di Natale: un libro di cucina.",
                         u"Parla anche inglese e tedesco.",
                         u"Disponibile solo su appuntamento.",
                         u"Mandare gli auguri a tutta la famiglia."};

QString ascii(const QString& text)
{
    QString out;
    for (QChar c : text.normalized(QString::NormalizationForm_D)) {
        if (c.isLetterOrNumber() && c.unicode() < 128)
            out.append(c.toLower());
    }
    return out;
}

QString phone(Random& random, const QString& prefix)
{
    // Italian fixed lines: the area code, then enough digits for 9 to 10 in all.
    const int rest = int(10 - prefix.size()) - random.below(2);
    const QString number = random.digits(rest);
    return prefix + u' ' + number.left(rest / 2) + u' ' + number.mid(rest / 2);
}

QString mobile(Random& random)
{
    static const std::array operators{u"320", u"328", u"333", u"338", u"340",
                                      u"347", u"349", u"366", u"380", u"392"};
    const QString number = random.digits(7);
    const QString lead = QString::fromUtf16(random.pick(operators));
    return random.chance(30) ? u"+39 "_s + lead + u' ' + number
                             : lead + u' ' + number.left(3) + u' ' + number.mid(3);
}

Value maybe(Random& random, int percent, const QString& text)
{
    return random.chance(percent) ? Value::fromEditedText(text) : Value();
}

// A name no other contact of the book has: surname, perhaps a second one, given name, perhaps a
// second one, chosen by a permutation of the 12 million combinations.
QString ownName(quint64 number, quint64 seed)
{
    const quint64 s1 = surnames.size(), s2 = surnames.size() + 1, g1 = givenNames.size(),
                  g2 = givenNames.size() + 1;
    const quint64 all = s1 * s2 * g1 * g2;
    quint64 at = ((number + seed * 7919) % all) * 1000003 % all; // 1000003 is prime and no factor of `all`
    QStringList words{QString::fromUtf16(surnames[at % s1])};
    at /= s1;
    if (at % s2)
        words.append(QString::fromUtf16(surnames[at % s2 - 1]));
    at /= s2;
    words.append(QString::fromUtf16(givenNames[at % g1]));
    at /= g1;
    if (at % g2)
        words.append(QString::fromUtf16(givenNames[at % g2 - 1]));
    return words.join(u' ');
}

// Phone numbers no other contact has: for each area code (and for the mobiles) the numbers given so
// far, counted, and spread over the code's numbers by a permutation.
class OwnNumbers
{
public:
    explicit OwnNumbers(quint64 seed) : m_seed(seed) {}
    QString fixed(Random& random, const Town& town)
    {
        const QString prefix = QString::fromUtf16(town.prefix);
        const int digits = int(10 - prefix.size());
        const QString number = spread(m_given[prefix]++, digits);
        return random.chance(50) ? prefix + u' ' + number.left(digits / 2) + u' ' + number.mid(digits / 2)
                                 : prefix + u' ' + number;
    }
    QString mobile(Random& random)
    {
        static const std::array operators{u"320", u"328", u"333", u"338", u"340",
                                          u"347", u"349", u"366", u"380", u"392"};
        const QString number = spread(m_mobiles++, 8); // the operator's last digit and 7 more
        const QString lead = QString::fromUtf16(operators[number.at(0).digitValue()]);
        return random.chance(30) ? u"+39 "_s + lead + u' ' + number.mid(1)
                                 : lead + u' ' + number.mid(1, 3) + u' ' + number.mid(4);
    }

private:
    // The n-th of the numbers of `digits` digits, in an order that looks random: n times a number
    // prime to 10, plus an offset, modulo 10^digits, is a permutation.
    QString spread(quint64 n, int digits) const
    {
        quint64 all = 1;
        for (int i = 0; i < digits; ++i)
            all *= 10;
        return QString::number((n * 7919 * 13 + m_seed * 104729) % all).rightJustified(digits, u'0');
    }
    quint64 m_seed;
    QHash<QString, quint64> m_given;
    quint64 m_mobiles = 0;
};

// A contact made shortly before, kept to plant its duplicates.
struct Planted
{
    qint64 row = 0;
    QString name, mail;
    std::array<QString, 4> phones;
};

// The name written otherwise, equal once folded: capitals, "o'" for "ò", doubled spaces, a comma.
QString respelled(Random& random, const QString& name)
{
    static const QList<std::pair<QString, QString>> apostrophes{
        {u"à"_s, u"a'"_s}, {u"è"_s, u"e'"_s}, {u"ì"_s, u"i'"_s}, {u"ò"_s, u"o'"_s}, {u"ù"_s, u"u'"_s}};
    QString text = name;
    switch (random.below(4)) {
    case 0:
        for (const auto& [accented, plain] : apostrophes)
            text.replace(accented, plain);
        if (text != name)
            return text;
        return name.toUpper();
    case 1:
        return name.toUpper();
    case 2:
        return u"  "_s + text.replace(u' ', u"  "_s);
    default:
        return text.replace(text.indexOf(u' '), 1, u", "_s);
    }
}

// The same number in another of the usual ways.
QString rewritten(Random& random, const QString& phone)
{
    QString digits;
    for (QChar c : phone)
        if (c.isDigit())
            digits.append(c);
    if (digits.startsWith(u"39"_s) && phone.startsWith(u'+'))
        digits.remove(0, 2);
    switch (random.below(3)) {
    case 0:
        return u"+39 "_s + digits.left(3) + u' ' + digits.mid(3);
    case 1:
        return digits.left(3) + u'/' + digits.mid(3);
    default:
        return u"0039 "_s + digits;
    }
}

// The words of a name in another order ("Marco Rossi"): a name of its own to the rule.
QString reordered(const QString& name)
{
    QStringList words = name.split(u' ', Qt::SkipEmptyParts);
    if (words.size() > 1)
        words.move(0, words.size() - 1);
    return words.join(u' ');
}

} // namespace

Status fill(sql::Database& db, qint64 rows, quint64 seed, double duplicatesPercent,
            QList<std::pair<qint64, qint64>>* planted)
{
    Random random(seed);
    // The contacts go to the book a thousand at a time, each given a new ID in the order made.
    Contacts batch;
    const auto add = [&](const std::array<Value, 11>& values) -> Status {
        Contact& contact = batch.emplace_back();
        std::copy(values.begin(), values.end(), contact.values.begin() + 1);
        if (batch.size() < 1000)
            return {};
        const Status written = contacts::insert(db, batch, false, u"scrivere la rubrica dimostrativa"_s);
        batch.clear();
        return written;
    };

    const bool planting = duplicatesPercent > 0;
    std::vector<Planted> recent; // the last contacts made, to copy
    constexpr std::size_t recentSize = 1000;
    qint64 own = 0; // contacts with a name of their own so far
    OwnNumbers numbers(seed);

    for (qint64 n = 0; n < rows; ++n) {
        if (planting && !recent.empty() && random.below(1000000) < int(duplicatesPercent * 10000)) {
            const Planted& original = recent[std::size_t(random.below(int(recent.size())))];
            std::array<Value, 11> values; // the fields after ID, as bound below
            int kind = random.below(3);
            const auto firstPhone = std::find_if(original.phones.begin(), original.phones.end(),
                                                 [](const QString& p) { return !p.isEmpty(); });
            if (kind == 1 && firstPhone == original.phones.end())
                kind = 0;
            if (kind == 2 && original.mail.isEmpty())
                kind = 0;
            values[0] = Value::fromEditedText(u"Altro"_s);
            values[3] = Value::fromEditedText(QString::fromUtf16(random.pick(towns).name));
            if (kind == 0) {
                values[1] = Value::fromEditedText(respelled(random, original.name));
                values[9] = Value::fromEditedText(numbers.mobile(random));
            } else if (kind == 1) {
                values[1] = Value::fromEditedText(reordered(original.name));
                const int from = int(firstPhone - original.phones.begin());
                values[6 + (from + 1 + random.below(3)) % 4] =
                    Value::fromEditedText(rewritten(random, *firstPhone));
            } else {
                values[1] = Value::fromEditedText(reordered(original.name));
                values[5] = Value::fromEditedText(u' ' + original.mail.toUpper());
            }
            values[10] = Value::fromEditedText(u"Forse lo stesso di un altro contatto."_s);
            if (Status added = add(values); !added)
                return added;
            if (planted)
                planted->append({n + 1, original.row});
            continue;
        }
        const Town& town = random.pick(towns);
        const QString townName = QString::fromUtf16(town.name);
        const QString prefix = QString::fromUtf16(town.prefix);
        const QString surname = QString::fromUtf16(random.pick(surnames));
        const QString given = QString::fromUtf16(random.pick(givenNames));
        const int kind = random.below(100);
        const bool firm = kind >= 75;

        QString category;
        if (kind < 4)
            category =
                QString::fromUtf16(random.pick(std::array{u"altro", u"Lavoro ", u"Famiglia Amici", u""}));
        else if (kind < 45)
            category = u"Famiglia-Amici"_s;
        else if (kind < 80)
            category = u"Lavoro"_s;
        else
            category = u"Altro"_s;

        QString name, further, mail;
        if (firm) {
            const QString trade = QString::fromUtf16(random.pick(firmTrades));
            name = random.chance(50) ? surname + u' ' + QString::fromUtf16(random.pick(firmKinds))
                                     : trade + u' ' + surname;
            if (planting)
                name = ownName(quint64(own), seed) + u' ' + QString::fromUtf16(random.pick(firmKinds));
            further = random.chance(60) ? u"P.IVA "_s + random.digits(11) : trade;
            mail = u"info@"_s + ascii(planting ? name : surname) + ascii(trade).left(6) + u".it"_s;
        } else {
            name = planting ? ownName(quint64(own), seed) : surname + u' ' + given;
            further = kind < 45 ? QString::fromUtf16(random.pick(relations))
                                : QString::fromUtf16(random.pick(workRoles));
            mail = (planting ? ascii(name) : ascii(given) + u'.' + ascii(surname)) +
                   (random.chance(30) ? random.digits(2) : QString()) + u'@' +
                   QString::fromUtf16(random.pick(mailDomains));
        }
        const QString address = QString::fromUtf16(random.pick(streets)) + u", "_s +
                                QString::number(1 + random.below(180)) +
                                (random.chance(10) ? u"/"_s + QChar(u'A' + random.below(4)) : QString());
        QString remark;
        if (random.chance(35)) {
            remark = QString::fromUtf16(random.pick(remarks));
            if (random.chance(40))
                remark += u"\r\nCompleanno: "_s + QString::number(1 + random.below(28)) + u' ' +
                          QString::fromUtf16(random.pick(months)) + u'.';
        }

        // In this order: the random numbers drawn are those of every earlier version.
        const Value furtherValue = maybe(random, 80, further);
        const Value townValue = maybe(random, 97, townName);
        const Value addressValue = maybe(random, 92, address);
        const Value mailValue = maybe(random, 75, mail);
        std::array phones{maybe(random, firm ? 0 : 70, phone(random, prefix)),
                          maybe(random, firm ? 95 : 45, phone(random, prefix)),
                          maybe(random, firm ? 60 : 5, phone(random, prefix)),
                          maybe(random, firm ? 30 : 90, mobile(random))};
        if (planting) // numbers of its own too: no two contacts share one unless planted
            for (std::size_t i = 0; i < phones.size(); ++i)
                if (!phones[i].isNull())
                    phones[i] =
                        Value::fromEditedText(i == 3 ? numbers.mobile(random) : numbers.fixed(random, town));
        if (Status added = add({Value::storedValue(category), Value::fromEditedText(name), furtherValue,
                                townValue, addressValue, mailValue, phones[0], phones[1], phones[2],
                                phones[3], Value::storedValue(remark)});
            !added)
            return added;
        if (planting) {
            ++own;
            Planted kept{n + 1, name, mailValue.toText(), {}};
            for (std::size_t i = 0; i < phones.size(); ++i)
                kept.phones[i] = phones[i].toText();
            if (recent.size() < recentSize)
                recent.push_back(std::move(kept));
            else
                recent[std::size_t(random.below(int(recentSize)))] = std::move(kept);
        }
    }
    return batch.isEmpty() ? Status()
                           : contacts::insert(db, batch, false, u"scrivere la rubrica dimostrativa"_s);
}

} // namespace vinzal::demo
