// The preview of an import, as the real dialogs show it.
#include "contact_table.h"
#include "dialogs.h"
#include "wording.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

class PreviewDialog : public QDialog
{
public:
    PreviewDialog(QWidget* parent, ImportPreview& preview) : QDialog(parent), m_preview(preview)
    {
        setObjectName(u"importPreview"_s);
        setWindowTitle(u"Importa da «"_s + QFileInfo(preview.file).fileName() + u"»"_s);
        auto* layout = new QVBoxLayout(this);
        m_summary = new QLabel(this);
        m_summary->setObjectName(u"summary"_s);
        m_summary->setWordWrap(true);
        layout->addWidget(m_summary);
        m_keep = new QCheckBox(this);
        m_keep->setObjectName(u"keepDuplicates"_s);
        layout->addWidget(m_keep);
        if (!preview.headers.isEmpty()) {
            auto* form = new QFormLayout;
            m_encoding = new QComboBox(this);
            m_encoding->setObjectName(u"encoding"_s);
            m_encoding->addItems(preview.encodings);
            form->addRow(u"C&odifica dei caratteri:"_s, m_encoding);
            layout->addLayout(form);
            // Each column of the file with a list box of the fields beside it, the column's heading its
            // label: a screen reader reads "«Telefono», casella combinata, Telefono casa", which a
            // list box inside a table's cell never is.
            auto* columns = new QGroupBox(u"Colonne del file e campi della rubrica in cui &vanno"_s, this);
            columns->setObjectName(u"columns"_s);
            auto* list = new QWidget;
            auto* listLayout = new QFormLayout(list);
            listLayout->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
            for (int column = 0; column < preview.headers.size(); ++column) {
                const QString& header = preview.headers.at(column);
                // Two columns with one heading, or one without, are told apart by their place.
                QString text = header.trimmed().isEmpty() ? u"Colonna %1"_s.arg(column + 1)
                               : preview.headers.count(header) > 1
                                   ? u"«%1» (colonna %2)"_s.arg(header).arg(column + 1)
                                   : u"«%1»"_s.arg(header);
                auto* label = new QLabel(text.replace(u'&', u"&&"_s) + u":"_s, list);
                label->setTextFormat(Qt::PlainText); // the file's words, never markup
                auto* choice = new QComboBox(list);
                choice->setObjectName(u"column%1"_s.arg(column + 1));
                choice->setAccessibleName(u"Campo per la colonna "_s + (header.trimmed().isEmpty()
                                                                            ? QString::number(column + 1)
                                                                            : u"«"_s + header + u"»"_s));
                choice->addItems(preview.choices);
                label->setBuddy(choice);
                listLayout->addRow(label, choice);
                m_choices.append(choice);
            }
            auto* scroller = new QScrollArea(columns);
            scroller->setWidget(list);
            scroller->setWidgetResizable(true);
            scroller->setFrameShape(QFrame::NoFrame);
            scroller->setFocusPolicy(Qt::NoFocus); // the keyboard goes to the list boxes
            auto* columnsLayout = new QVBoxLayout(columns);
            columnsLayout->addWidget(scroller);
            layout->addWidget(columns, 1);
        }
        auto* rowsLabel = new QLabel(u"I &primi contatti, come saranno scritti:"_s, this);
        layout->addWidget(rowsLabel);
        m_rows = new QTableWidget(0, fieldCount - 1, this);
        rowsLabel->setBuddy(m_rows);
        m_rows->setAccessibleName(u"I primi contatti"_s);
        m_rows->setObjectName(u"firstRows"_s);
        m_rows->setHorizontalHeaderLabels(contacts::fields().mid(1));
        m_rows->setEditTriggers(QAbstractItemView::NoEditTriggers);
        m_rows->setWordWrap(false);
        m_rows->setTabKeyNavigation(false);
        layout->addWidget(m_rows, 1);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
        m_import = buttons->button(QDialogButtonBox::Ok);
        m_import->setText(u"&Importa"_s);
        buttons->button(QDialogButtonBox::Cancel)->setText(u"&Annulla"_s);
        connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        layout->addWidget(buttons);
        show(false);
        resize(820, 620);
    }

    void done(int result) override
    {
        m_preview.keepDuplicates = m_keep->isChecked();
        QDialog::done(result);
    }

private:
    // Puts the preview into the controls; `connectAfter` guards against the signals of the update.
    void show(bool)
    {
        m_updating = true;
        const ImportPreview& p = m_preview;
        QString summary;
        if (!p.problems.isEmpty()) {
            summary = u"Il file non può essere importato, la rubrica non cambia:\n- "_s +
                      p.problems.mid(0, 10).join(u"\n- "_s);
        } else {
            summary = u"Contatti nel file: %L1. Saranno aggiunti: %L2. Già presenti nella rubrica (con tutti "
                      u"i campi "
                      u"uguali): %L3."_s.arg(p.total)
                          .arg(p.total - (m_keep->isChecked() ? 0 : p.duplicates))
                          .arg(p.duplicates);
        }
        if (!p.notes.isEmpty())
            summary += u"\n"_s + p.notes.join(u"\n"_s);
        m_summary->setText(summary);
        m_keep->setText(
            words::plural(p.duplicates, u"Aggiungere &comunque il contatto già presente"_s,
                          u"Aggiungere &comunque i %L1 contatti già presenti"_s.arg(p.duplicates)));
        m_keep->setEnabled(p.duplicates > 0);
        m_import->setEnabled(p.problems.isEmpty());
        if (m_encoding)
            m_encoding->setCurrentText(p.encoding);
        for (int column = 0; column < m_choices.size(); ++column) {
            QComboBox* choice = m_choices.at(column);
            if (choice->findText(p.columnChoices.value(column)) < 0)
                choice->addItem(p.columnChoices.value(column));
            choice->setCurrentText(p.columnChoices.value(column));
        }
        m_rows->setRowCount(int(p.first.size()));
        for (int row = 0; row < int(p.first.size()); ++row)
            for (int column = 1; column < fieldCount; ++column)
                m_rows->setItem(row, column - 1, new QTableWidgetItem(p.first.at(row).at(column).toText()));
        // Each column as wide as its longest value, up to a limit: one line per contact, as in the grid;
        // never narrower than its heading, whatever the size of the type.
        m_rows->resizeColumnsToContents();
        for (int column = 0; column < m_rows->columnCount(); ++column)
            m_rows->setColumnWidth(
                column, std::min(m_rows->columnWidth(column),
                                 std::max(260, m_rows->horizontalHeader()->sectionSizeHint(column))));
        if (!m_connected) {
            m_connected = true;
            if (m_encoding)
                connect(m_encoding, &QComboBox::currentTextChanged, this, [this] { changed(); });
            for (QComboBox* choice : std::as_const(m_choices))
                connect(choice, &QComboBox::currentTextChanged, this, [this] { changed(); });
            connect(m_keep, &QCheckBox::toggled, this, [this] { show(true); });
        }
        m_updating = false;
    }

    void changed()
    {
        if (m_updating)
            return;
        if (m_encoding)
            m_preview.encoding = m_encoding->currentText();
        for (int column = 0; column < m_choices.size(); ++column)
            m_preview.columnChoices[column] = m_choices.at(column)->currentText();
        m_preview.reread();
        show(true);
    }

    ImportPreview& m_preview;
    QLabel* m_summary;
    QCheckBox* m_keep;
    QComboBox* m_encoding = nullptr;
    QList<QComboBox*> m_choices; // the field of each column of the file
    QTableWidget* m_rows;
    QPushButton* m_import;
    bool m_updating = false, m_connected = false;
};

} // namespace

bool QtDialogs::doReviewImport(QWidget* parent, ImportPreview& preview)
{
    PreviewDialog dialog(parent, preview);
    return dialog.exec() == QDialog::Accepted;
}

} // namespace vinzal
