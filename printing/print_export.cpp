#include "print_export.h"

#include "page_painter.h"

#include "book_io.h"
#include "connection.h"
#include "contact_rows.h"
#include "contact_table.h"
#include "engine.h"
#include "safe_file.h"
#include "table_cursor.h"

#include <QDate>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLocale>
#include <QPageLayout>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QTextLayout>

#include <cstdio>
#include <limits>

using namespace Qt::StringLiterals;

namespace vinzal::printing {

namespace {

constexpr int kDpi = 300;
constexpr double kPageWidth = 210, kPageHeight = 297; // A4, mm

// The resolution of the device being drawn on (a PDF writer's, a printer's); pages are drawn one
// device at a time, on the one thread that draws.
double deviceDpi = kDpi;

double px(double mm)
{
    return mm * deviceDpi / 25.4;
}

// Text is laid out (where lines break, what fits) on this one resolution whatever the device, so that
// the preview, a printer and a PDF break the same lines and begin the same pages.
constexpr double kLayoutDpi = 1200;

const QPaintDevice* layoutDevice()
{
    static const QImage image = [] {
        QImage made(1, 1, QImage::Format_RGB32);
        const int dotsPerMetre = qRound(kLayoutDpi / 0.0254);
        made.setDotsPerMeterX(dotsPerMetre);
        made.setDotsPerMeterY(dotsPerMetre);
        return made;
    }();
    return &image;
}

// A font's measures in mm, as laid out.
struct Measures
{
    double ascent, height;
};

Measures measures(const QFont& font)
{
    const QFontMetricsF metrics(font, layoutDevice());
    return {metrics.ascent() * 25.4 / kLayoutDpi, metrics.height() * 25.4 / kLayoutDpi};
}

// `line` with "…" at its end, cut so as to stay within `width` mm.
QString shortened(QString line, const QFont& font, double width)
{
    const QFontMetricsF metrics(font, layoutDevice());
    const double w = width * kLayoutDpi / 25.4;
    while (!line.isEmpty() && (line.back().isSpace() || metrics.horizontalAdvance(line + u'…') > w))
        line.chop(1);
    return line + u'…';
}

// `whole` in lines no wider than `width` mm, broken between words (inside a word longer than a
// line), at most `maxLines`: the last then ends with "…". Only what can be shown is laid out, so a
// field of megabytes costs no more than a long line.
QStringList wrapped(const QString& whole, const QFont& font, double width, int maxLines)
{
    const QFontMetricsF metrics(font, layoutDevice());
    const double w = width * kLayoutDpi / 25.4;
    const QString text = whole.left(qsizetype(maxLines) * 1000);
    if (text.size() == whole.size() && metrics.horizontalAdvance(text) <= w)
        return {text};
    QTextLayout layout(text, font, layoutDevice());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    bool more = text.size() < whole.size();
    layout.beginLayout();
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(w);
        if (lines.size() == maxLines) {
            more = true;
            break;
        }
        lines.append(text.mid(line.textStart(), line.textLength()));
    }
    layout.endLayout();
    if (lines.isEmpty())
        return {QString()};
    if (more)
        lines.last() = shortened(lines.last(), font, width);
    return lines;
}

QString text(const Contact& contact, Field field)
{
    return contact[field].toText().simplified();
}

// Where a painter draws: the painter (none while the pages are only laid out, or on a page of the
// preview other than the one shown), the device, and how to begin the next page.
struct Sheet
{
    QPainter* painter = nullptr;
    std::function<void()> newPage;
};

// The list's lines are a fixed height in millimetres, so that a page holds the same contacts on
// every device: the preview, a printer, a PDF.
constexpr double kListMargin = 15, kListLine = 4.2;
constexpr int kListRows = int((kPageHeight - 2 * kListMargin - 3 * kListLine) / kListLine);
// The most lines a cell of the list takes; a longer text ends with "…".
constexpr int kCellLines = 10;

// The list: a header with the book, the date and "pagina N di M", then the contacts, each a row as
// tall as its longest cell once wrapped in its column. A row is never split between pages.
class ListPainter
{
public:
    ListPainter(Sheet& sheet, const QString& book, qint64 pages, qint64 firstPage)
        : m_sheet(sheet), m_book(book), m_page(firstPage), m_pages(std::max<qint64>(1, pages))
    {
        m_font = QFont(u"Liberation Sans"_s, 8);
    }

    void add(const Contact& contact)
    {
        QStringList phones;
        for (Field field : {Field::TelefonoCasa, Field::TelefonoUfficio, Field::Telefonino})
            if (!text(contact, field).isEmpty())
                phones.append(text(contact, field));
        const QStringList cells{text(contact, Field::Nome), text(contact, Field::Citta),
                                text(contact, Field::Indirizzo), phones.join(u", "_s),
                                text(contact, Field::EMail)};
        QList<QStringList> lines;
        qsizetype height = 1;
        for (qsizetype i = 0; i < cells.size(); ++i) {
            lines.append(wrapped(cells.at(i), m_font, columnWidth(i) - 1.5, kCellLines));
            height = std::max(height, lines.last().size());
        }
        if (m_drawn == 0 || m_used + height > kListRows)
            newPage();
        row(lines);
        m_used += height;
    }

    void finish()
    {
        if (m_drawn == 0)
            newPage(); // an empty book still has its page
    }

private:
    static constexpr double widths[] = {0.28, 0.16, 0.22, 0.16, 0.18};

    static double columnWidth(qsizetype i) { return (kPageWidth - 2 * kListMargin) * widths[i]; }

    void row(const QList<QStringList>& cells, bool bold = false)
    {
        qsizetype height = 1;
        for (const QStringList& lines : cells)
            height = std::max(height, lines.size());
        if (QPainter* painter = m_sheet.painter) {
            QFont font = m_font;
            font.setBold(bold);
            painter->setFont(font);
            double x = kListMargin;
            for (qsizetype i = 0; i < cells.size(); ++i) {
                for (qsizetype l = 0; l < cells.at(i).size(); ++l)
                    painter->drawText(QPointF(px(x), px(m_y + l * kListLine)), cells.at(i).at(l));
                x += columnWidth(i);
            }
        }
        m_y += height * kListLine;
    }

    void newPage()
    {
        if (m_drawn++ > 0)
            m_sheet.newPage();
        ++m_page;
        m_used = 0;
        m_y = kListMargin + kListLine;
        if (QPainter* painter = m_sheet.painter) {
            const QString date =
                QLocale(QLocale::Italian, QLocale::Italy).toString(QDate::currentDate(), u"dd/MM/yyyy"_s);
            painter->setFont(m_font);
            painter->drawText(QPointF(px(kListMargin), px(m_y)), m_book + u" — "_s + date);
            const QString page = u"pagina %1 di %2"_s.arg(m_page).arg(m_pages);
            const double width = QFontMetricsF(m_font, painter->device()).horizontalAdvance(page);
            painter->drawText(QPointF(px(kPageWidth - kListMargin) - width, px(m_y)), page);
        }
        m_y += kListLine * 1.5;
        QList<QStringList> header;
        for (const QString& title :
             {u"Cognome e nome"_s, u"Città"_s, u"Indirizzo"_s, u"Telefoni"_s, u"E-Mail"_s})
            header.append({title});
        row(header, true);
    }

    Sheet& m_sheet;
    QString m_book;
    QFont m_font;
    double m_y = 0; // mm: the baseline of the next row's first line
    qsizetype m_used = 0;
    qint64 m_page, m_pages, m_drawn = 0;
};

// Labels: name, (when asked) further identifier, address, city, each label at its place on the
// sheet; only the first sheet starts at the chosen free label. Each field breaks into as many lines
// as the label's height holds; when they are still too many the type gets smaller, down to 6 points,
// and only then is the text cut short (and counted). A contact without an address is left off
// (and counted) unless asked for.
class LabelPainter
{
public:
    LabelPainter(Sheet& sheet, const Request& request, bool firstSheet, Printed& printed)
        : m_sheet(sheet), m_labels(request.sheet), m_ulteriore(request.ulteriore),
          m_withoutAddress(request.withoutAddress), m_printed(printed),
          m_next(firstSheet ? std::max(m_labels.start, 1) - 1 : 0), m_size(m_labels.height < 40 ? 9 : 10)
    {
    }

    void add(const Contact& contact)
    {
        if (!m_withoutAddress && text(contact, Field::Indirizzo).isEmpty()) {
            ++m_printed.leftOff;
            return;
        }
        const int perSheet = std::max(1, m_labels.columns * m_labels.rows);
        if (m_next >= perSheet) {
            m_sheet.newPage();
            m_next = 0;
        }
        const double left = (kPageWidth - m_labels.columns * m_labels.width) / 2 +
                            (m_next % m_labels.columns) * m_labels.width + m_labels.margin;
        const double top = (kPageHeight - m_labels.rows * m_labels.height) / 2 +
                           (m_next / m_labels.columns) * m_labels.height + m_labels.margin;
        const double width = std::max(1.0, m_labels.width - 2 * m_labels.margin);
        const double height = std::max(1.0, m_labels.height - 2 * m_labels.margin);
        ++m_next;

        QList<Field> fields{Field::Nome};
        if (m_ulteriore)
            fields.append(Field::Ulteriore);
        fields.append({Field::Indirizzo, Field::Citta});
        QList<std::pair<QString, bool>> lines; // and whether bold
        QFont font(u"Liberation Sans"_s);
        Measures measured{};
        for (double size = m_size;; size -= 0.5) {
            font.setPointSizeF(size);
            measured = measures(font);
            lines.clear();
            for (Field field : std::as_const(fields)) {
                QFont used = font;
                used.setBold(field == Field::Nome);
                for (const QString& line : wrapped(text(contact, field), used, width, 50))
                    if (!line.isEmpty())
                        lines.append({line, field == Field::Nome});
            }
            if (lines.size() * measured.height <= height + 0.01 || size <= kSmallest)
                break;
        }
        const qsizetype room = std::max<qsizetype>(1, qsizetype((height + 0.01) / measured.height));
        if (lines.size() > room) {
            ++m_printed.notFitting;
            lines.resize(room);
            QFont used = font;
            used.setBold(lines.last().second);
            lines.last().first = shortened(lines.last().first, used, width);
        }
        QPainter* painter = m_sheet.painter;
        if (!painter)
            return;
        double y = top + measured.ascent;
        for (const auto& [line, bold] : std::as_const(lines)) {
            QFont used = font;
            used.setBold(bold);
            painter->setFont(used);
            painter->drawText(QPointF(px(left), px(y)), line);
            y += measured.height;
        }
    }

private:
    static constexpr double kSmallest = 6; // points

    Sheet& m_sheet;
    LabelSheet m_labels;
    bool m_ulteriore, m_withoutAddress;
    Printed& m_printed;
    int m_next;
    double m_size;
};

// The most lines a field of the card takes; a longer text ends with "…".
constexpr int kCardLines = 2000;

// The card: every field of a contact beside its name, each contact from a new page; a field too
// long for the page (a remark of a hundred lines) goes on over the next pages.
class CardPainter
{
public:
    explicit CardPainter(Sheet& sheet)
        : m_sheet(sheet), m_label(u"Liberation Sans"_s, 9), m_value(u"Liberation Serif"_s, 12)
    {
        m_value.setBold(true);
    }

    void add(const Contact& contact)
    {
        static const QRegularExpression breaks(u"\r\n|[\n\r\u2028\u2029\u0085]"_s);
        constexpr double top = 25, bottom = kPageHeight - 20, left = 20, valueLeft = 75, width = 115;
        if (m_pages++ > 0)
            m_sheet.newPage();
        const Measures value = measures(m_value);
        double y = top; // mm: the baseline of the next line
        for (int i = 1; i < fieldCount; ++i) {
            QStringList lines;
            for (const QString& paragraph : contact.at(i).toText().split(breaks)) {
                if (lines.size() >= kCardLines) {
                    lines.last() += u'…';
                    break;
                }
                lines += wrapped(paragraph, m_value, width, kCardLines - int(lines.size()));
            }
            for (qsizetype l = 0; l < lines.size(); ++l) {
                if (y > bottom) {
                    m_sheet.newPage();
                    y = top;
                }
                if (QPainter* painter = m_sheet.painter) {
                    if (l == 0) {
                        painter->setFont(m_label);
                        painter->drawText(QPointF(px(left), px(y)), contacts::fields().at(i));
                    }
                    painter->setFont(m_value);
                    painter->drawText(QPointF(px(valueLeft), px(y)), lines.at(l));
                }
                y += value.height;
            }
            y += 4;
        }
    }

private:
    Sheet& m_sheet;
    QFont m_label, m_value;
    int m_pages = 0;
};

// One of the three painters, for the pages from `firstPage` on.
class Painter
{
public:
    Painter(Sheet& sheet, const Request& request, qint64 pages, qint64 firstPage)
    {
        if (request.layout == Layout::Etichette)
            m_labels.emplace(sheet, request, firstPage == 0, m_printed);
        else if (request.layout == Layout::Scheda)
            m_cards.emplace(sheet);
        else
            m_list.emplace(sheet, shownBook(request.book), pages, firstPage);
    }
    void add(const Contact& contact)
    {
        if (m_labels)
            m_labels->add(contact);
        else if (m_cards)
            m_cards->add(contact);
        else
            m_list->add(contact);
    }
    void finish()
    {
        if (m_list)
            m_list->finish();
    }
    const Printed& printed() const { return m_printed; }

private:
    Printed m_printed;
    std::optional<ListPainter> m_list;
    std::optional<LabelPainter> m_labels;
    std::optional<CardPainter> m_cards;
};

} // namespace

// The contacts in the order of an index, walked with the card's own cursor on a connection of
// its own: no query sorts the book, and a run of equal keys is stepped as the card steps it.
class OrderedReader
{
public:
    static Result<std::unique_ptr<OrderedReader>> open(const QString& book, const QString& index)
    {
        auto connection = Connection::open(book);
        if (!connection)
            return connection.error();
        std::unique_ptr<OrderedReader> reader(new OrderedReader(std::move(connection.value())));
        if (!index.isEmpty())
            if (Status set = reader->m_cursor.setIndex(index); !set)
                return set.error();
        auto counted = contacts::count(*reader->m_connection);
        if (!counted)
            return counted.error();
        reader->m_total = counted.value();
        return reader;
    }

    qint64 total() const { return m_total; }

    // Moves to the row with `rowid` (the first in order when 0). False when there is no row there.
    Result<bool> moveTo(qint64 rowid)
    {
        const Connection::ReadSnapshot snapshot(*m_connection);
        if (Status moved = rowid == 0 ? m_cursor.moveFirst() : m_cursor.moveTo(rowid); !moved)
            return moved.error();
        return m_cursor.hasCurrent();
    }

    // Reads up to `count` contacts from the current one on, leaving the cursor on the last read.
    Status read(qint64 count, const std::function<bool(const Contact&)>& take)
    {
        const Connection::ReadSnapshot snapshot(*m_connection);
        for (qint64 i = 0; i < count && m_cursor.hasCurrent(); ++i) {
            auto row = m_cursor.readCurrent();
            if (!row)
                return row.error();
            if (!take(row.value().fields))
                return {};
            const qint64 here = m_cursor.currentRowid();
            if (i + 1 == count)
                break;
            if (Status moved = m_cursor.moveNext(); !moved)
                return moved.error();
            if (m_cursor.currentRowid() == here)
                break;
        }
        return {};
    }

    // Steps past the current row; false at the end.
    Result<bool> next()
    {
        const qint64 here = m_cursor.currentRowid();
        if (Status moved = m_cursor.moveNext(); !moved)
            return moved.error();
        return m_cursor.hasCurrent() && m_cursor.currentRowid() != here;
    }

private:
    explicit OrderedReader(std::unique_ptr<Connection> connection)
        : m_connection(std::move(connection)), m_cursor(*m_connection)
    {
    }

    std::unique_ptr<Connection> m_connection;
    TableCursor m_cursor;
    qint64 m_total = 0;
};

namespace {

// Hands the contacts of `request` to `take` in order, a batch at a time, each batch a short read of
// its own; `total` is set first.
Status readInOrder(const Request& request, qint64* total, const std::function<bool(const Contacts&)>& take)
{
    if (request.only) {
        *total = request.only->size();
        for (qsizetype at = 0; at < request.only->size(); at += 500)
            if (!take(request.only->mid(at, 500)))
                break;
        return {};
    }
    if (request.index.isEmpty())
        return book::readInBatches(request.book, 500, take, total);
    auto reader = OrderedReader::open(request.book, request.index);
    if (!reader)
        return reader.error();
    *total = reader.value()->total();
    auto there = reader.value()->moveTo(0);
    if (!there)
        return there.error();
    for (bool more = there.value(); more;) {
        Contacts batch;
        if (Status read = reader.value()->read(500, [&](const Contact& c) { return batch.append(c), true; });
            !read)
            return read;
        if (batch.isEmpty() || !take(batch))
            break;
        auto stepped = reader.value()->next();
        if (!stepped)
            return stepped.error();
        more = stepped.value();
    }
    return {};
}

// Lays the pages of `request` out without drawing them: where each begins. `progress` as contacts
// are laid out; false stops.
Status layOut(const Request& request, std::vector<Pages::Start>& starts, qint64* total,
              const std::function<bool(qint64 done, qint64 total)>& progress = {})
{
    starts.clear();
    qint64 position = 0, rowid = 0;
    Sheet sheet{nullptr, [&] { starts.push_back({position, rowid}); }};
    starts.push_back({0, 0});
    Painter pages(sheet, request, 1, 0);
    bool first = true;
    const Status read = readInOrder(request, total, [&](const Contacts& batch) {
        for (const Contact& contact : batch) {
            rowid = contact[Field::Id].toInteger();
            if (first)
                starts.front().rowid = rowid;
            first = false;
            pages.add(contact);
            ++position;
        }
        return !progress || progress(position, *total);
    });
    pages.finish();
    *total = position;
    return read;
}

} // namespace

QString remarks(const Printed& printed)
{
    QStringList said;
    if (printed.leftOff == 1)
        said.append(u"Lasciato fuori 1 contatto senza indirizzo."_s);
    else if (printed.leftOff > 1)
        said.append(u"Lasciati fuori %L1 contatti senza indirizzo."_s.arg(printed.leftOff));
    if (printed.notFitting == 1)
        said.append(u"1 etichetta non entra per intero neanche con il carattere più piccolo: il testo è "
                    u"stato accorciato."_s);
    else if (printed.notFitting > 1)
        said.append(u"%L1 etichette non entrano per intero neanche con il carattere più piccolo: il testo "
                    u"è stato accorciato."_s.arg(printed.notFitting));
    return said.join(u'\n');
}

bool labelSheetFromName(const QString& name, LabelSheet* sheet)
{
    if (name == u"3x8"_s) {
        *sheet = LabelSheet{3, 8, 70, 37, sheet->margin, sheet->start};
        return true;
    }
    if (name == u"2x7"_s) {
        *sheet = LabelSheet{2, 7, 105, 42.3, sheet->margin, sheet->start};
        return true;
    }
    return false;
}

Status drawPages(QPagedPaintDevice& device, const Request& request, bool* cancelled, Printed* printed)
{
    // Laying out and drawing each count for half of the progress.
    qint64 total = 0;
    const auto advance = [&](qint64 done) {
        if (request.progress && !request.progress(done, 2 * total)) {
            *cancelled = true;
            return false;
        }
        return true;
    };
    std::vector<Pages::Start> starts;
    if (Status laid = layOut(request, starts, &total, [&](qint64 done, qint64) { return advance(done); });
        !laid || *cancelled)
        return laid;
    const qint64 laidOut = total;
    deviceDpi = device.logicalDpiY();
    QPainter painter(&device);
    qint64 pages = 1;
    Sheet sheet{&painter, [&] { device.newPage(), ++pages; }};
    Painter painters(sheet, request, qint64(starts.size()), 0);
    qint64 done = 0;
    const Status read = readInOrder(request, &total, [&](const Contacts& batch) {
        for (const Contact& contact : batch)
            painters.add(contact);
        done += batch.size();
        return advance(laidOut + done);
    });
    if (!read)
        return read;
    painters.finish();
    if (printed) {
        *printed = painters.printed();
        printed->pages = pages;
    }
    return {};
}

Result<std::unique_ptr<Pages>> Pages::open(const Request& request)
{
    std::unique_ptr<Pages> pages(new Pages);
    pages->m_request = request;
    if (request.only) { // already in memory: laid out at once
        if (Status laid = layOut(request, pages->m_starts, &pages->m_total); !laid)
            return laid.error();
        pages->m_complete = true;
        return pages;
    }
    auto reader = OrderedReader::open(request.book, request.index);
    if (!reader)
        return reader.error();
    pages->m_reader = std::move(reader.value());
    pages->m_total = pages->m_reader->total();
    pages->m_starts = {Start{}};
    if (Status laid = pages->layOutTo(0); !laid)
        return laid.error();
    return pages;
}

Pages::~Pages() = default;

qint64 Pages::count() const
{
    const qint64 known = qint64(m_starts.size());
    if (m_complete)
        return known;
    const qint64 perPage = m_request.layout == Layout::Etichette
                               ? std::max(1, m_request.sheet.columns * m_request.sheet.rows)
                           : m_request.layout == Layout::Scheda ? 1
                                                                : kListRows;
    const qint64 left = std::max<qint64>(0, m_total - m_starts.back().position);
    return known - 1 + std::max<qint64>(1, (left + perPage - 1) / perPage);
}

Result<qint64> Pages::exactCount()
{
    if (Status laid = layOutTo(std::numeric_limits<qint64>::max() - 1); !laid)
        return laid.error();
    return count();
}

Status Pages::layOutTo(qint64 page)
{
    while (!m_complete && qint64(m_starts.size()) <= page + 1) {
        // From the last page known to begin, until the next one begins.
        const size_t known = m_starts.size();
        const qint64 from = qint64(known) - 1;
        qint64 position = m_starts.back().position, rowid = m_starts.back().rowid;
        auto there = m_reader->moveTo(rowid);
        if (!there)
            return there.error();
        Sheet sheet{nullptr, [&] { m_starts.push_back({position, rowid}); }};
        Painter painter(sheet, m_request, 1, from);
        bool first = true;
        for (bool more = there.value(); more && m_starts.size() == known;) {
            Contacts batch;
            if (Status read = m_reader->read(500, [&](const Contact& c) { return batch.append(c), true; });
                !read)
                return read;
            for (const Contact& contact : std::as_const(batch)) {
                rowid = contact[Field::Id].toInteger();
                if (first && from == 0)
                    m_starts.front().rowid = rowid;
                first = false;
                painter.add(contact);
                if (m_starts.size() > known)
                    break; // the next page begins with this contact
                ++position;
            }
            if (batch.isEmpty() || m_starts.size() > known)
                break;
            auto stepped = m_reader->next();
            if (!stepped)
                return stepped.error();
            more = stepped.value();
        }
        if (m_starts.size() == known) {
            m_complete = true;
            m_total = position;
        }
    }
    return {};
}

Status Pages::contactsOn(qint64 page, Contacts& out)
{
    if (page < 0 || m_total == 0)
        return {};
    if (Status laid = layOutTo(page); !laid)
        return laid;
    const qint64 known = qint64(m_starts.size());
    if (page >= known)
        return {};
    const Start& start = m_starts[size_t(page)];
    const qint64 end = page + 1 < known ? m_starts[size_t(page + 1)].position : m_total;
    const qint64 count = std::max<qint64>(1, end - start.position);
    if (m_request.only) {
        out = m_request.only->mid(start.position, count);
        return {};
    }
    auto there = m_reader->moveTo(start.rowid);
    if (!there)
        return there.error();
    if (!there.value())
        return {};
    return m_reader->read(count, [&](const Contact& contact) { return out.append(contact), true; });
}

Status Pages::draw(qint64 page, QImage& image)
{
    if (Status laid = layOutTo(std::max<qint64>(page, 0)); !laid)
        return laid;
    page = std::clamp<qint64>(page, 0, qint64(m_starts.size()) - 1);
    // A contact that began on an earlier page is drawn from that page on, and only this page shown.
    qint64 first = page;
    while (first > 0 && m_starts[size_t(first - 1)].position == m_starts[size_t(page)].position)
        --first;
    Contacts contacts;
    if (Status read = contactsOn(page, contacts); !read)
        return read;
    image.fill(Qt::white);
    deviceDpi = image.logicalDpiY();
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    qint64 at = first;
    Sheet sheet{at == page ? &painter : nullptr, {}};
    sheet.newPage = [&] { sheet.painter = ++at == page ? &painter : nullptr; };
    Painter pages(sheet, m_request, count(), first);
    for (const Contact& contact : std::as_const(contacts))
        pages.add(contact);
    pages.finish();
    return {};
}

Status writePdf(const QString& target, bool force, const Request& request, bool* cancelled, Printed* printed)
{
    auto pending = safefile::PendingFile::begin(target, force, {request.book});
    if (!pending)
        return pending.error();
    safefile::PendingFile& file = *pending.value();
    bool stopped = false;
    {
        QPdfWriter writer(&file.device());
        writer.setResolution(kDpi);
        writer.setCreator(u"Vinzal"_s);
        writer.setTitle(shownBook(request.book));
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF()));
        if (Status drawn = drawPages(writer, request, &stopped, printed); !drawn)
            return drawn;
    }
    if (stopped && cancelled) {
        *cancelled = true;
        return {};
    }
    if (stopped)
        return StoreError{StoreError::Kind::Engine, u"Stampa annullata: il file non è stato scritto."_s, {}};
    return file.commit();
}

std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv, bool drawing)
{
    if (!drawing)
        return std::make_unique<QCoreApplication>(argc, argv);
    // Fonts and drawing need a platform; none needs a display. What the platform says about the
    // session (no runtime folder, say) is not for the command's user: its messages go to stderr
    // as Italian text of its own.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    });
    return std::make_unique<QGuiApplication>(argc, argv);
}

} // namespace vinzal::printing
