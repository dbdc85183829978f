// What to print and where, as the real dialogs ask it.
#include "dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QVBoxLayout>

#include <limits>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

// An A4 page on screen: tall enough to read the labels, small enough for a laptop's screen.
QSize pageSize(QWidget* parent)
{
    const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
    const int height = std::clamp(screen ? screen->availableGeometry().height() - 220 : 700, 420, 900);
    return {int(height * 210 / 297.0), height};
}

} // namespace

// The print preview: what to print on the left, the page as it will be printed on the right, with
// buttons to turn the pages. Only the page shown is drawn, so it opens at once on any book.
bool QtDialogs::doAskPrintOptions(QWidget* parent, PrintChoice& choice)
{
    QDialog dialog(parent);
    dialog.setObjectName(u"printPreview"_s);
    dialog.setWindowTitle(u"Anteprima di stampa"_s);
    auto* columns = new QHBoxLayout(&dialog);
    auto* form = new QFormLayout;
    columns->addLayout(form);
    auto* layout = new QComboBox(&dialog);
    layout->setObjectName(u"layout"_s);
    layout->addItems(
        {u"Elenco dei contatti"_s, u"Etichette degli indirizzi"_s, u"Scheda del contatto mostrato"_s});
    if (!choice.haveCard)
        layout->removeItem(2);
    layout->setCurrentIndex(int(choice.layout));
    form->addRow(u"&Che cosa stampare:"_s, layout);
    auto* onlySelected =
        new QCheckBox(choice.selected == 1 ? u"S&olo la riga selezionata"_s
                                           : u"S&olo le %L1 righe selezionate"_s.arg(choice.selected),
                      &dialog);
    onlySelected->setObjectName(u"soloSelezionate"_s);
    onlySelected->setChecked(choice.onlySelected);
    onlySelected->setVisible(choice.selected > 0);
    form->addRow(onlySelected);
    auto* sheet = new QComboBox(&dialog);
    sheet->setObjectName(u"sheet"_s);
    sheet->addItem(u"A4, 3 x 8 etichette da 70 x 37 mm"_s, u"3x8"_s);
    sheet->addItem(u"A4, 2 x 7 etichette da 105 x 42,3 mm"_s, u"2x7"_s);
    sheet->setCurrentIndex(choice.sheet == u"2x7"_s ? 1 : 0);
    form->addRow(u"&Foglio di etichette:"_s, sheet);
    auto* margin = new QDoubleSpinBox(&dialog);
    margin->setObjectName(u"margin"_s);
    margin->setRange(0, 15);
    margin->setSuffix(u" mm"_s);
    margin->setValue(choice.margin);
    form->addRow(u"&Margine dentro l'etichetta:"_s, margin);
    auto* start = new QSpinBox(&dialog);
    start->setObjectName(u"start"_s);
    start->setRange(1, 24);
    start->setValue(choice.start);
    form->addRow(u"&Prima etichetta libera del foglio:"_s, start);
    auto* ulteriore = new QCheckBox(u"Stampare anche l'«&ulteriore identificativo»"_s, &dialog);
    ulteriore->setObjectName(u"ulteriore"_s);
    ulteriore->setChecked(choice.ulteriore);
    form->addRow(ulteriore);
    auto* withoutAddress = new QCheckBox(u"Anche i contatti senza &indirizzo"_s, &dialog);
    withoutAddress->setObjectName(u"senzaIndirizzo"_s);
    withoutAddress->setChecked(choice.withoutAddress);
    form->addRow(withoutAddress);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, &dialog);
    QPushButton* print = buttons->addButton(u"&Stampa…"_s, QDialogButtonBox::AcceptRole);
    print->setObjectName(u"stampa"_s);
    buttons->button(QDialogButtonBox::Cancel)->setText(u"&Annulla"_s);
    print->setDefault(true);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);

    auto* right = new QVBoxLayout;
    columns->addLayout(right, 1);
    auto* page = new QLabel(&dialog);
    page->setObjectName(u"pagina"_s);
    page->setFixedSize(pageSize(parent));
    page->setAlignment(Qt::AlignCenter);
    page->setFrameShape(QFrame::Box);
    page->setWordWrap(true);
    right->addWidget(page);
    auto* turn = new QHBoxLayout;
    right->addLayout(turn);
    const auto button = [&](const QString& name, const QString& text, const QString& tip) {
        auto* b = new QPushButton(text, &dialog);
        b->setObjectName(name);
        b->setToolTip(tip);
        b->setAccessibleName(tip); // the arrows alone say nothing to a screen reader
        b->setAutoDefault(false);
        turn->addWidget(b);
        return b;
    };
    QPushButton* first = button(u"primaPagina"_s, u"|<"_s, u"Prima pagina (Ctrl+Inizio)"_s);
    QPushButton* previous = button(u"paginaPrecedente"_s, u"<"_s, u"Pagina precedente (PgSu)"_s);
    auto* number = new QLabel(&dialog);
    number->setObjectName(u"numeroPagina"_s);
    number->setAlignment(Qt::AlignCenter);
    turn->addWidget(number, 1);
    QPushButton* next = button(u"paginaSuccessiva"_s, u">"_s, u"Pagina successiva (PgGiù)"_s);
    QPushButton* last = button(u"ultimaPagina"_s, u">|"_s, u"Ultima pagina (Ctrl+Fine)"_s);
    // The arrows have no letter to give: keys of their own instead, none that a box uses.
    first->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Home));
    previous->setShortcut(QKeySequence(Qt::Key_PageUp));
    next->setShortcut(QKeySequence(Qt::Key_PageDown));
    last->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_End));

    qint64 shown = 0, pages = 1;
    bool about = false; // pages is an estimate
    const auto read = [&] {
        choice.layout = PrintChoice::Layout(layout->currentIndex());
        choice.sheet = sheet->currentData().toString();
        choice.margin = margin->value();
        choice.start = start->value();
        choice.onlySelected = choice.selected > 0 && onlySelected->isChecked();
        choice.ulteriore = ulteriore->isChecked();
        choice.withoutAddress = withoutAddress->isChecked();
    };
    const auto draw = [&](qint64 wanted) {
        read();
        QString problem;
        if (choice.drawPage) {
            const qreal ratio = page->devicePixelRatioF();
            QImage image(page->size() * ratio, QImage::Format_RGB32);
            image.setDevicePixelRatio(ratio);
            const int dotsPerMetre = int(page->height() * ratio / 0.297);
            image.setDotsPerMeterX(dotsPerMetre);
            image.setDotsPerMeterY(dotsPerMetre);
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
            qint64 counted = 1;
            problem = choice.drawPage(choice, wanted, image, &counted);
            about = counted < 0;
            pages = std::max<qint64>(1, std::abs(counted));
            QGuiApplication::restoreOverrideCursor();
            if (problem.isEmpty())
                page->setPixmap(QPixmap::fromImage(image));
        }
        if (!problem.isEmpty())
            page->setText(problem);
        shown = std::clamp<qint64>(wanted, 0, std::max<qint64>(pages - 1, 0));
        number->setText(
            (about ? u"pagina %L1 di circa %L2"_s : u"pagina %L1 di %L2"_s).arg(shown + 1).arg(pages));
        first->setEnabled(shown > 0);
        previous->setEnabled(shown > 0);
        next->setEnabled(shown + 1 < pages);
        last->setEnabled(shown + 1 < pages);
        print->setEnabled(problem.isEmpty());
    };
    const auto changed = [&] {
        const bool labels = layout->currentIndex() == 1;
        sheet->setEnabled(labels);
        margin->setEnabled(labels);
        start->setEnabled(labels);
        ulteriore->setEnabled(labels);
        withoutAddress->setEnabled(labels);
        onlySelected->setEnabled(layout->currentIndex() != 2);
        start->setMaximum(sheet->currentIndex() == 1 ? 14 : 24);
        draw(0);
    };
    QObject::connect(layout, &QComboBox::currentIndexChanged, &dialog, changed);
    QObject::connect(sheet, &QComboBox::currentIndexChanged, &dialog, changed);
    QObject::connect(margin, &QDoubleSpinBox::valueChanged, &dialog, [&] { draw(shown); });
    QObject::connect(start, &QSpinBox::valueChanged, &dialog, [&] { draw(0); });
    QObject::connect(ulteriore, &QCheckBox::toggled, &dialog, [&] { draw(0); });
    QObject::connect(onlySelected, &QCheckBox::toggled, &dialog, [&] { draw(0); });
    QObject::connect(withoutAddress, &QCheckBox::toggled, &dialog, [&] { draw(0); });
    QObject::connect(first, &QPushButton::clicked, &dialog, [&] { draw(0); });
    QObject::connect(previous, &QPushButton::clicked, &dialog, [&] { draw(shown - 1); });
    QObject::connect(next, &QPushButton::clicked, &dialog, [&] { draw(shown + 1); });
    // The last page is found by laying out the whole book.
    QObject::connect(last, &QPushButton::clicked, &dialog,
                     [&] { draw(std::numeric_limits<qint64>::max() / 2); });
    changed();
    if (dialog.exec() != QDialog::Accepted)
        return false;
    read();
    return true;
}

std::unique_ptr<QPagedPaintDevice> QtDialogs::doAskPrinter(QWidget* parent)
{
    auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    // The labels' places are measured from the sheet's corner.
    printer->setFullPage(true);
    printer->setPageSize(QPageSize(QPageSize::A4));
    QPrintDialog dialog(printer.get(), parent);
    dialog.setWindowTitle(u"Stampa"_s);
    if (dialog.exec() != QDialog::Accepted)
        return nullptr;
    return printer;
}

} // namespace vinzal
