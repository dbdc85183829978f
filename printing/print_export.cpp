#include "print_export.h"

#include "page_painter.h"

#include "book_io.h"
#include "contact_table.h"
#include "engine.h"
#include "safe_file.h"

#include <QDate>
#include <QFontMetricsF>
#include <QGuiApplication>
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

// The list: a header with the book, the date and "pagina N di M", then one line per contact.
class ListPainter
{
public:
    ListPainter(QPainter& painter, QPagedPaintDevice& writer, const QString& book, qint64 total)
        : m_painter(painter), m_writer(writer), m_book(book)
    {
        m_font = QFont(u"Liberation Sans"_s, 8);
        m_painter.setFont(m_font);
        m_line = QFontMetricsF(m_font, &m_writer).height() * 1.25;
        m_perPage = std::max(1, int((px(kPageHeight - 2 * kMargin) - 3 * m_line) / m_line));
        m_pages = std::max<qint64>(1, (total + m_perPage - 1) / m_perPage);
    }

    void add(const Contact& contact)
    {
        if (m_onPage == m_perPage || m_page == 0)
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
        if (m_page == 0)
            newPage(); // an empty book still has its page
    }

private:
    static constexpr double kMargin = 15;
    static constexpr double widths[] = {0.28, 0.16, 0.22, 0.16, 0.18};

    void row(const QStringList& cells, bool bold = false)
    {
        QFont font = m_font;
        font.setBold(bold);
        m_painter.setFont(font);
        const QFontMetricsF metrics(font, &m_writer);
        double x = px(kMargin);
        const double width = px(kPageWidth - 2 * kMargin);
        for (int i = 0; i < cells.size(); ++i) {
            const double w = width * widths[i];
            m_painter.drawText(QPointF(x, m_y), metrics.elidedText(cells.at(i), Qt::ElideRight, w - px(1.5)));
            x += w;
        }
        m_y += m_line;
    }

    void newPage()
    {
        if (m_page > 0)
            m_writer.newPage();
        ++m_page;
        m_onPage = 0;
        m_y = px(kMargin) + m_line;
        const QString date =
            QLocale(QLocale::Italian, QLocale::Italy).toString(QDate::currentDate(), u"dd/MM/yyyy"_s);
        m_painter.setFont(m_font);
        m_painter.drawText(QPointF(px(kMargin), m_y), m_book + u" — "_s + date);
        const QString page = u"pagina %1 di %2"_s.arg(m_page).arg(m_pages);
        m_painter.drawText(
            QPointF(px(kPageWidth - kMargin) - QFontMetricsF(m_font, &m_writer).horizontalAdvance(page), m_y),
            page);
        m_y += m_line * 1.5;
        row({u"Cognome e nome"_s, u"Città"_s, u"Indirizzo"_s, u"Telefoni"_s, u"E-Mail"_s}, true);
    }

    QPainter& m_painter;
    QPagedPaintDevice& m_writer;
    QString m_book;
    QFont m_font;
    double m_line = 0, m_y = 0;
    int m_perPage = 1, m_onPage = 0;
    qint64 m_page = 0, m_pages = 1;
};

// Labels: name, further identifier, address, city, each label at its place on the sheet.
class LabelPainter
{
public:
    LabelPainter(QPainter& painter, QPagedPaintDevice& writer, const LabelSheet& sheet)
        : m_painter(painter), m_writer(writer), m_sheet(sheet), m_next(std::max(sheet.start, 1) - 1)
    {
        m_font = QFont(u"Liberation Sans"_s, sheet.height < 40 ? 9 : 10);
    }

    void add(const Contact& contact)
    {
        const int perSheet = m_sheet.columns * m_sheet.rows;
        if (m_next >= perSheet) {
            m_writer.newPage();
            m_next = 0;
        }
        const double left =
            (kPageWidth - m_sheet.columns * m_sheet.width) / 2 + (m_next % m_sheet.columns) * m_sheet.width;
        const double top =
            (kPageHeight - m_sheet.rows * m_sheet.height) / 2 + (m_next / m_sheet.columns) * m_sheet.height;
        const QRectF area(px(left + m_sheet.margin), px(top + m_sheet.margin),
                          px(m_sheet.width - 2 * m_sheet.margin), px(m_sheet.height - 2 * m_sheet.margin));
        QStringList lines;
        for (Field field : {Field::Nome, Field::Ulteriore, Field::Indirizzo, Field::Citta})
            if (!text(contact, field).isEmpty())
                lines.append(text(contact, field));
        const QFontMetricsF metrics(m_font, &m_writer);
        double y = area.top() + metrics.ascent();
        for (qsizetype i = 0; i < lines.size() && y <= area.bottom(); ++i) {
            QFont font = m_font;
            font.setBold(i == 0);
            m_painter.setFont(font);
            m_painter.drawText(
                QPointF(area.left(), y),
                QFontMetricsF(font, &m_writer).elidedText(lines.at(i), Qt::ElideRight, area.width()));
            y += metrics.height();
        }
        ++m_next;
    }

private:
    QPainter& m_painter;
    QPagedPaintDevice& m_writer;
    LabelSheet m_sheet;
    QFont m_font;
    int m_next;
};

// The card: every field of a contact under its name, one contact a page.
class CardPainter
{
public:
    CardPainter(QPainter& painter, QPagedPaintDevice& writer) : m_painter(painter), m_writer(writer) {}

    void add(const Contact& contact)
    {
        if (m_pages++ > 0)
            m_writer.newPage();
        QFont label(u"Liberation Sans"_s, 9), value(u"Liberation Serif"_s, 12);
        value.setBold(true);
        double y = px(25);
        for (int i = 1; i < fieldCount; ++i) {
            m_painter.setFont(label);
            m_painter.drawText(QPointF(px(20), y), contacts::fields().at(i));
            m_painter.setFont(value);
            const QRectF area(px(75), y - QFontMetricsF(value, &m_writer).ascent(), px(115), px(200));
            QRectF used;
            m_painter.drawText(area, Qt::TextWordWrap, contact.at(i).toText(), &used);
            y += std::max(used.height(), QFontMetricsF(value, &m_writer).height()) + px(4);
        }
    }

private:
    QPainter& m_painter;
    QPagedPaintDevice& m_writer;
    int m_pages = 0;
};

} // namespace

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
    std::optional<ListPainter> list;
    std::optional<LabelPainter> labels;
    std::optional<CardPainter> cards;
    if (request.layout == Layout::Etichette)
        labels.emplace(painter, device, request.sheet);
    if (request.layout == Layout::Scheda)
        cards.emplace(painter, device);
    qint64 done = 0, total = 0;
    const auto take = [&](const Contacts& batch) {
        if (!list && !labels && !cards)
            list.emplace(painter, device, shownBook(request.book), total);
        for (const Contact& contact : batch) {
            if (labels)
                labels->add(contact);
            else if (cards)
                cards->add(contact);
            else
                list->add(contact);
        }
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
    } else if (Status read = book::readInBatches(request.book, 500, take, &total); !read) {
        return read;
    }
    if (!list && !labels && !cards)
        list.emplace(painter, device, shownBook(request.book), total);
    if (list)
        list->finish();
    return {};
}

Status writePdf(const QString& target, bool force, const Request& request)
{
    auto pending = safefile::PendingFile::begin(target, force, {request.book});
    if (!pending)
        return pending.error();
    safefile::PendingFile& file = *pending.value();
    bool cancelled = false;
    {
        QPdfWriter writer(&file.device());
        writer.setResolution(kDpi);
        writer.setCreator(u"Vinzal"_s);
        writer.setTitle(shownBook(request.book));
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF()));
        if (Status drawn = drawPages(writer, request, &cancelled); !drawn)
            return drawn;
    }
    if (cancelled)
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
