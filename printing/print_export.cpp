#include "print_export.h"

#include "page_painter.h"

#include "book_io.h"
#include "connection.h"
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

#include <cstdio>

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

QString text(const Contact& contact, Field field)
{
    return contact[field].toText().simplified();
}

// Where a painter draws: the painter, the device whose resolution the fonts are measured at, and
// how to begin the next page (nothing on a preview's single page).
struct Sheet
{
    QPainter& painter;
    QPaintDevice& device;
    std::function<void()> newPage;
};

// The list's lines are a fixed height in millimetres, so that a page holds the same contacts on
// every device: the preview, a printer, a PDF.
constexpr double kListMargin = 15, kListLine = 4.2;
constexpr int kListRows = int((kPageHeight - 2 * kListMargin - 3 * kListLine) / kListLine);

// The list: a header with the book, the date and "pagina N di M", then one line per contact.
class ListPainter
{
public:
    ListPainter(const Sheet& sheet, const QString& book, qint64 pages, qint64 firstPage)
        : m_sheet(sheet), m_book(book), m_page(firstPage), m_pages(std::max<qint64>(1, pages))
    {
        m_font = QFont(u"Liberation Sans"_s, 8);
        m_sheet.painter.setFont(m_font);
        m_line = px(kListLine);
    }

    void add(const Contact& contact)
    {
        if (m_onPage == kListRows || m_drawn == 0)
            newPage();
        QStringList phones;
        for (Field field : {Field::TelefonoCasa, Field::TelefonoUfficio, Field::Telefonino})
            if (!text(contact, field).isEmpty())
                phones.append(text(contact, field));
        const QStringList cells{text(contact, Field::Nome), text(contact, Field::Citta),
                                text(contact, Field::Indirizzo), phones.join(u", "_s),
                                text(contact, Field::EMail)};
        row(cells);
        ++m_onPage;
    }

    void finish()
    {
        if (m_drawn == 0)
            newPage(); // an empty book still has its page
    }

private:
    static constexpr double widths[] = {0.28, 0.16, 0.22, 0.16, 0.18};

    void row(const QStringList& cells, bool bold = false)
    {
        QFont font = m_font;
        font.setBold(bold);
        m_sheet.painter.setFont(font);
        const QFontMetricsF metrics(font, &m_sheet.device);
        double x = px(kListMargin);
        const double width = px(kPageWidth - 2 * kListMargin);
        for (int i = 0; i < cells.size(); ++i) {
            const double w = width * widths[i];
            m_sheet.painter.drawText(QPointF(x, m_y),
                                     metrics.elidedText(cells.at(i), Qt::ElideRight, w - px(1.5)));
            x += w;
        }
        m_y += m_line;
    }

    void newPage()
    {
        if (m_drawn++ > 0)
            m_sheet.newPage();
        ++m_page;
        m_onPage = 0;
        m_y = px(kListMargin) + m_line;
        const QString date =
            QLocale(QLocale::Italian, QLocale::Italy).toString(QDate::currentDate(), u"dd/MM/yyyy"_s);
        m_sheet.painter.setFont(m_font);
        m_sheet.painter.drawText(QPointF(px(kListMargin), m_y), m_book + u" — "_s + date);
        const QString page = u"pagina %1 di %2"_s.arg(m_page).arg(m_pages);
        const double width = QFontMetricsF(m_font, &m_sheet.device).horizontalAdvance(page);
        m_sheet.painter.drawText(QPointF(px(kPageWidth - kListMargin) - width, m_y), page);
        m_y += m_line * 1.5;
        row({u"Cognome e nome"_s, u"Città"_s, u"Indirizzo"_s, u"Telefoni"_s, u"E-Mail"_s}, true);
    }

    Sheet m_sheet;
    QString m_book;
    QFont m_font;
    double m_line = 0, m_y = 0;
    int m_onPage = 0;
    qint64 m_page, m_pages, m_drawn = 0;
};

// Labels: name, further identifier, address, city, each label at its place on the sheet. Only the
// first sheet starts at the chosen free label.
class LabelPainter
{
public:
    LabelPainter(const Sheet& sheet, const LabelSheet& labels, bool firstSheet)
        : m_sheet(sheet), m_labels(labels), m_next(firstSheet ? std::max(labels.start, 1) - 1 : 0)
    {
        m_font = QFont(u"Liberation Sans"_s, labels.height < 40 ? 9 : 10);
    }

    void add(const Contact& contact)
    {
        const int perSheet = m_labels.columns * m_labels.rows;
        if (m_next >= perSheet) {
            m_sheet.newPage();
            m_next = 0;
        }
        const double left = (kPageWidth - m_labels.columns * m_labels.width) / 2 +
                            (m_next % m_labels.columns) * m_labels.width;
        const double top = (kPageHeight - m_labels.rows * m_labels.height) / 2 +
                           (m_next / m_labels.columns) * m_labels.height;
        const QRectF area(px(left + m_labels.margin), px(top + m_labels.margin),
                          px(m_labels.width - 2 * m_labels.margin),
                          px(m_labels.height - 2 * m_labels.margin));
        QStringList lines;
        for (Field field : {Field::Nome, Field::Ulteriore, Field::Indirizzo, Field::Citta})
            if (!text(contact, field).isEmpty())
                lines.append(text(contact, field));
        const QFontMetricsF metrics(m_font, &m_sheet.device);
        double y = area.top() + metrics.ascent();
        for (qsizetype i = 0; i < lines.size() && y <= area.bottom(); ++i) {
            QFont font = m_font;
            font.setBold(i == 0);
            m_sheet.painter.setFont(font);
            m_sheet.painter.drawText(
                QPointF(area.left(), y),
                QFontMetricsF(font, &m_sheet.device).elidedText(lines.at(i), Qt::ElideRight, area.width()));
            y += metrics.height();
        }
        ++m_next;
    }

private:
    Sheet m_sheet;
    LabelSheet m_labels;
    QFont m_font;
    int m_next;
};

// The card: every field of a contact under its name, one contact a page.
class CardPainter
{
public:
    explicit CardPainter(const Sheet& sheet) : m_sheet(sheet) {}

    void add(const Contact& contact)
    {
        if (m_pages++ > 0)
            m_sheet.newPage();
        QFont label(u"Liberation Sans"_s, 9), value(u"Liberation Serif"_s, 12);
        value.setBold(true);
        const QFontMetricsF metrics(value, &m_sheet.device);
        double y = px(25);
        for (int i = 1; i < fieldCount; ++i) {
            m_sheet.painter.setFont(label);
            m_sheet.painter.drawText(QPointF(px(20), y), contacts::fields().at(i));
            m_sheet.painter.setFont(value);
            const QRectF area(px(75), y - metrics.ascent(), px(115), px(200));
            QRectF used;
            m_sheet.painter.drawText(area, Qt::TextWordWrap, contact.at(i).toText(), &used);
            y += std::max(used.height(), metrics.height()) + px(4);
        }
    }

private:
    Sheet m_sheet;
    int m_pages = 0;
};

// One of the three painters, for the pages from `firstPage` on.
class Painter
{
public:
    Painter(const Sheet& sheet, const Request& request, qint64 pages, qint64 firstPage)
    {
        if (request.layout == Layout::Etichette)
            m_labels.emplace(sheet, request.sheet, firstPage == 0);
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

private:
    std::optional<ListPainter> m_list;
    std::optional<LabelPainter> m_labels;
    std::optional<CardPainter> m_cards;
};

// Contacts on each page: the first sheet of labels may start further on.
qint64 perPage(const Request& request)
{
    if (request.layout == Layout::Etichette)
        return std::max(1, request.sheet.columns * request.sheet.rows);
    return request.layout == Layout::Scheda ? 1 : kListRows;
}

qint64 onFirstPage(const Request& request)
{
    if (request.layout != Layout::Etichette)
        return perPage(request);
    return perPage(request) - std::clamp<qint64>(request.sheet.start - 1, 0, perPage(request) - 1);
}

// The position, in order, of the first contact on `page`.
qint64 firstOn(const Request& request, qint64 page)
{
    return page == 0 ? 0 : onFirstPage(request) + (page - 1) * perPage(request);
}

qint64 pageCount(const Request& request, qint64 total)
{
    if (total <= onFirstPage(request))
        return 1;
    return 1 + (total - onFirstPage(request) + perPage(request) - 1) / perPage(request);
}

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
        auto counted = reader->m_connection->readOne(
            u"SELECT count(*) FROM "_s + quoteIdentifier(contacts::tableName()), {});
        if (!counted)
            return counted.error();
        reader->m_total = counted.value() ? counted.value()->value(0).toInteger() : 0;
        return reader;
    }

    qint64 total() const { return m_total; }

    // Moves to the row with `rowid` (the first in order when 0), then `count` rows on (backwards
    // when negative), stopping at an end. False when there is no row there at all.
    Result<bool> walk(qint64 rowid, qint64 count)
    {
        const Connection::ReadSnapshot snapshot(*m_connection);
        if (Status moved = rowid == 0 ? m_cursor.moveFirst() : m_cursor.moveTo(rowid); !moved)
            return moved.error();
        for (qint64 i = 0; i < std::abs(count) && m_cursor.hasCurrent(); ++i) {
            const qint64 here = m_cursor.currentRowid();
            if (Status moved = count > 0 ? m_cursor.moveNext() : m_cursor.movePrevious(); !moved)
                return moved.error();
            if (m_cursor.currentRowid() == here)
                break;
        }
        return m_cursor.hasCurrent();
    }

    Result<bool> walkToLast()
    {
        if (Status moved = m_cursor.moveLast(); !moved)
            return moved.error();
        return m_cursor.hasCurrent();
    }

    qint64 current() const { return m_cursor.currentRowid(); }

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

Status drawPages(QPagedPaintDevice& device, const Request& request, bool* cancelled)
{
    deviceDpi = device.logicalDpiY();
    QPainter painter(&device);
    std::optional<Painter> pages;
    qint64 done = 0, total = 0;
    const auto take = [&](const Contacts& batch) {
        if (!pages)
            pages.emplace(Sheet{painter, device, [&] { device.newPage(); }}, request,
                          pageCount(request, total), 0);
        for (const Contact& contact : batch)
            pages->add(contact);
        done += batch.size();
        if (request.progress && !request.progress(done, total)) {
            *cancelled = true;
            return false;
        }
        return true;
    };
    if (request.only) {
        total = request.only->size();
        for (qsizetype at = 0; at < request.only->size(); at += 500)
            if (!take(request.only->mid(at, 500)))
                break;
    } else if (request.index.isEmpty()) {
        if (Status read = book::readInBatches(request.book, 500, take, &total); !read)
            return read;
    } else {
        auto reader = OrderedReader::open(request.book, request.index);
        if (!reader)
            return reader.error();
        total = reader.value()->total();
        auto there = reader.value()->walk(0, 0);
        if (!there)
            return there.error();
        for (bool more = there.value(); more;) {
            Contacts batch;
            if (Status read =
                    reader.value()->read(500, [&](const Contact& c) { return batch.append(c), true; });
                !read)
                return read;
            if (batch.isEmpty() || !take(batch))
                break;
            auto stepped = reader.value()->next();
            if (!stepped)
                return stepped.error();
            more = stepped.value();
        }
    }
    if (!pages)
        pages.emplace(Sheet{painter, device, [&] { device.newPage(); }}, request, pageCount(request, total),
                      0);
    pages->finish();
    return {};
}

Result<std::unique_ptr<Pages>> Pages::open(const Request& request)
{
    std::unique_ptr<Pages> pages(new Pages);
    pages->m_request = request;
    if (request.only) {
        pages->m_total = request.only->size();
    } else {
        auto reader = OrderedReader::open(request.book, request.index);
        if (!reader)
            return reader.error();
        pages->m_reader = std::move(reader.value());
        pages->m_total = pages->m_reader->total();
    }
    pages->m_count = pageCount(request, pages->m_total);
    return pages;
}

Pages::~Pages() = default;

Result<qint64> Pages::startOf(qint64 page)
{
    if (auto known = m_starts.find(page); known != m_starts.end())
        return known->second;
    if (page == 0 || page == m_count - 1) {
        auto there = page == 0 ? m_reader->walk(0, 0) : m_reader->walkToLast();
        if (!there)
            return there.error();
        if (page > 0) {
            // Back from the last contact over the others on the last page.
            auto back = m_reader->walk(m_reader->current(), -(m_total - firstOn(m_request, page) - 1));
            if (!back)
                return back.error();
        }
        return m_starts[page] = m_reader->current();
    }
    // From the nearest page known, before or after, a page at a time, noting each page's first.
    auto after = m_starts.upper_bound(page);
    auto before = after == m_starts.begin() ? m_starts.end() : std::prev(after);
    const bool forwards =
        after == m_starts.end() || (before != m_starts.end() && page - before->first <= after->first - page);
    if (forwards && before == m_starts.end()) {
        if (auto first = startOf(0); !first)
            return first.error();
        return startOf(page);
    }
    qint64 at = forwards ? before->first : after->first;
    qint64 rowid = forwards ? before->second : after->second;
    while (at != page) {
        const qint64 to = forwards ? at + 1 : at - 1;
        auto walked = m_reader->walk(rowid, firstOn(m_request, to) - firstOn(m_request, at));
        if (!walked)
            return walked.error();
        at = to;
        rowid = m_starts[at] = m_reader->current();
    }
    return rowid;
}

Status Pages::contactsOn(qint64 page, Contacts& out)
{
    const qint64 first = firstOn(m_request, page);
    const qint64 count = page == 0 ? onFirstPage(m_request) : perPage(m_request);
    if (m_request.only) {
        out = m_request.only->mid(first, count);
        return {};
    }
    if (m_total == 0 || page < 0 || page >= m_count)
        return {};
    auto start = startOf(page);
    if (!start)
        return start.error();
    auto there = m_reader->walk(start.value(), 0);
    if (!there)
        return there.error();
    return m_reader->read(count, [&](const Contact& contact) { return out.append(contact), true; });
}

Status Pages::draw(qint64 page, QImage& image)
{
    page = std::clamp<qint64>(page, 0, m_count - 1);
    Contacts contacts;
    if (Status read = contactsOn(page, contacts); !read)
        return read;
    image.fill(Qt::white);
    deviceDpi = image.logicalDpiY();
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    Painter pages(Sheet{painter, image, [] {}}, m_request, m_count, page);
    for (const Contact& contact : std::as_const(contacts))
        pages.add(contact);
    pages.finish();
    return {};
}

Status writePdf(const QString& target, bool force, const Request& request, bool* cancelled)
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
        if (Status drawn = drawPages(writer, request, &stopped); !drawn)
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
