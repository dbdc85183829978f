// What to print and where, as the real dialogs ask it.
#include "dialogs.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QPrintDialog>
#include <QPrinter>
#include <QSpinBox>

using namespace Qt::StringLiterals;

namespace vinzal {

bool QtDialogs::doAskPrintOptions(QWidget* parent, PrintChoice& choice)
{
    QDialog dialog(parent);
    dialog.setObjectName(u"printOptions"_s);
    dialog.setWindowTitle(u"Stampa"_s);
    auto* form = new QFormLayout(&dialog);
    auto* layout = new QComboBox(&dialog);
    layout->addItems(
        {u"Elenco dei contatti"_s, u"Etichette degli indirizzi"_s, u"Scheda del contatto mostrato"_s});
    if (!choice.haveCard)
        layout->removeItem(2);
    layout->setCurrentIndex(int(choice.layout));
    form->addRow(u"Che cosa stampare:"_s, layout);
    auto* sheet = new QComboBox(&dialog);
    sheet->addItem(u"A4, 3 x 8 etichette da 70 x 37 mm"_s, u"3x8"_s);
    sheet->addItem(u"A4, 2 x 7 etichette da 105 x 42,3 mm"_s, u"2x7"_s);
    sheet->setCurrentIndex(choice.sheet == u"2x7"_s ? 1 : 0);
    form->addRow(u"Foglio di etichette:"_s, sheet);
    auto* margin = new QDoubleSpinBox(&dialog);
    margin->setRange(0, 15);
    margin->setSuffix(u" mm"_s);
    margin->setValue(choice.margin);
    form->addRow(u"Margine dentro l'etichetta:"_s, margin);
    auto* start = new QSpinBox(&dialog);
    start->setRange(1, 24);
    start->setValue(choice.start);
    form->addRow(u"Prima etichetta libera del foglio:"_s, start);
    const auto labelsOnly = [=] {
        const bool labels = layout->currentIndex() == 1;
        sheet->setEnabled(labels);
        margin->setEnabled(labels);
        start->setEnabled(labels);
        start->setMaximum(sheet->currentIndex() == 1 ? 14 : 24);
    };
    QObject::connect(layout, &QComboBox::currentIndexChanged, &dialog, labelsOnly);
    QObject::connect(sheet, &QComboBox::currentIndexChanged, &dialog, labelsOnly);
    labelsOnly();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    choice.layout = PrintChoice::Layout(layout->currentIndex());
    choice.sheet = sheet->currentData().toString();
    choice.margin = margin->value();
    choice.start = start->value();
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
