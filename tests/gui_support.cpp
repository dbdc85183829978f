#include "gui_support.h"

#include "bound_grid.h"
#include "contact_table.h"
#include "form1.h"
#include "form2.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QHeaderView>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QPageLayout>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPrinter>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <list>

using namespace Qt::StringLiterals;

namespace vinzal::test {

ScriptedDialogs& ScriptedDialogs::install()
{
    QSettings().clear();
    auto dialogs = std::make_unique<ScriptedDialogs>();
    ScriptedDialogs& script = *dialogs;
    Dialogs::install(std::move(dialogs));
    return script;
}

void ScriptedDialogs::record(const QString& kind, const QString& title, const QString& text, Icon icon,
                             const QStringList& offered, bool defaultNo)
{
    shown.append({kind, title, text, icon, offered, defaultNo});
    if (onShow)
        onShow(this->shown.last());
}

QStringList ScriptedDialogs::texts() const
{
    QStringList result;
    for (const Shown& each : shown)
        result.append(each.text);
    return result;
}

QString ScriptedDialogs::doAskFileName(QWidget*, FileMode, const QString& title, const QStringList& filters,
                                       QString* filter, const QString& suggested)
{
    record(u"file"_s, title, filters.join(u'\n'), Icon::None, {suggested});
    if (filter && !filterAnswers.isEmpty())
        *filter = filterAnswers.takeFirst();
    return take(fileAnswers);
}

std::unique_ptr<Dialogs::Progress> ScriptedDialogs::doStartProgress(QWidget*, const QString& title,
                                                                    const QString& label)
{
    record(u"progress"_s, title, label);
    struct Scripted : Progress
    {
        qint64 cancelAt;
        explicit Scripted(qint64 at) : cancelAt(at) {}
        bool advance(qint64 done, qint64) override { return cancelAt < 0 || done < cancelAt; }
    };
    return std::make_unique<Scripted>(cancelProgressAt);
}

namespace {

QString unquoted(QString cell)
{
    cell = cell.trimmed();
    if (cell.size() < 2 || !cell.startsWith(u'"') || !cell.endsWith(u'"'))
        return cell;
    return cell.mid(1, cell.size() - 2).replace(u"\\r"_s, u"\r"_s).replace(u"\\n"_s, u"\n"_s);
}

// A cell of a table of rows as a value of its column's type.
QVariant cellValue(const QString& type, const QString& raw)
{
    const QString cell = unquoted(raw);
    const QStringList words = cell.split(u' ', Qt::SkipEmptyParts);
    const QPointF point(words.value(0).toDouble(), words.value(1).toDouble());
    QStringList items;
    QList<int> numbers;
    for (const QString& item : raw.split(type == u"list"_s ? u',' : u' ', Qt::SkipEmptyParts))
        if (!item.trimmed().isEmpty())
            items.append(unquoted(item)), numbers.append(item.toInt());
    return type == u"bool"_s     ? QVariant(cell == u"yes"_s)
           : type == u"int"_s    ? QVariant(cell.toInt())
           : type == u"int64"_s  ? QVariant(cell.toLongLong())
           : type == u"list"_s   ? QVariant(items)
           : type == u"ints"_s   ? QVariant::fromValue(numbers)
           : type == u"point"_s  ? QVariant(point.toPoint())
           : type == u"pointf"_s ? QVariant(point)
           : type == u"keys"_s   ? QVariant::fromValue(QKeySequence::fromString(cell))
                                 : QVariant(cell);
}

} // namespace

// The lines of tests/data/rows/NAME.txt split into cells, the column names first.
QList<QStringList> tableFrom(const QString& name)
{
    QFile file(QStringLiteral(VINZAL_ROWS) + name + u".txt"_s);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("no table %s", qPrintable(name));
    QList<QStringList> lines;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n'))
        if (!line.trimmed().isEmpty() && !line.startsWith(u'#'))
            lines.append(line.split(u'|'));
    for (const QStringList& line : lines)
        if (line.size() != lines[0].size())
            qFatal("%s: %d cells in «%s»", qPrintable(name), int(line.size()), qPrintable(line.join(u'|')));
    return lines;
}

void rowsFrom(const QString& name)
{
    static std::list<QByteArray> columnNames; // QtTest keeps the pointers
    const QList<QStringList> lines = tableFrom(name);
    QStringList types;
    for (const QString& column : lines[0].mid(1)) {
        types.append(column.section(u':', 1).trimmed());
        const char* id = columnNames.emplace_back(column.section(u':', 0, 0).trimmed().toUtf8());
        QTest::addColumnInternal(cellValue(types.last(), {}).metaType().id(), id);
    }
    for (const QStringList& cells : lines.mid(1)) {
        QTestData& row = QTest::newRow(cells[0].trimmed().toUtf8().constData());
        for (qsizetype c = 0; c < types.size(); ++c) {
            const QVariant value = cellValue(types[c], cells[c + 1]);
            row.append(value.metaType().id(), value.constData());
        }
    }
}

QList<Person> contactsFrom(const QString& name)
{
    const QList<QStringList> lines = tableFrom(name);
    QList<Person> contacts;
    for (const QStringList& cells : lines.mid(1)) {
        Person& person = contacts.emplace_back();
        for (qsizetype c = 0; c < cells.size(); ++c)
            if (!cells[c].trimmed().isEmpty())
                person.append({lines[0][c].trimmed(), unquoted(cells[c])});
    }
    return contacts;
}

QStringList pickFromMenu(QWidget* target, const QString& action)
{
    QStringList entries;
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        if (menu->objectName() == u"contextMenu"_s)
            for (QAction* each : menu->actions())
                if (!each->isSeparator())
                    entries.append(
                        each->text() + u'\t' +
                        (each->isShortcutVisibleInContextMenu() ? each->shortcut().toString() : QString()));
        for (qsizetype tries = 0; !action.isEmpty() && tries <= menu->actions().size(); ++tries) {
            if (menu->activeAction() && menu->activeAction()->objectName() == action) {
                QTest::keyClick(menu, Qt::Key_Return);
                return;
            }
            QTest::keyClick(menu, Qt::Key_Down);
        }
        QTest::keyClick(menu, Qt::Key_Escape);
    });
    QWidget* window = target->window();
    const QPoint at = target->mapTo(window, QPoint(target->width() / 2, target->height() / 2));
    QTest::mouseClick(window->windowHandle(), Qt::RightButton, {}, at);
    QCoreApplication::processEvents();
    return entries;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

bool ScriptedDialogs::doReviewImport(QWidget*, ImportPreview& preview)
{
    record(u"preview"_s, preview.file, preview.problems.join(u'\n'));
    return onPreview ? onPreview(preview) : preview.problems.isEmpty();
}

bool ScriptedDialogs::doAskPrintOptions(QWidget*, PrintChoice& choice)
{
    record(u"print"_s, u"Stampa"_s);
    return onPrintOptions && onPrintOptions(choice);
}

std::unique_ptr<QPagedPaintDevice> ScriptedDialogs::doAskPrinter(QWidget*)
{
    if (printFile.isEmpty())
        return nullptr;
    // What Qt's print dialog gives when printing to a file.
    auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    printer->setOutputFormat(QPrinter::PdfFormat);
    printer->setOutputFileName(printFile);
    printer->setFullPage(true);
    printer->setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF()));
    return printer;
}

Card::Card(const QList<Person>& contacts, bool makeFile) : Card(QString(), contacts, makeFile) {}

Card::Card(const Book& book) : Card(book.name, {}, false) {}

Card::Card(const QString& book, const QList<Person>& contacts, bool makeFile)
    : m_previousDir(QDir::currentPath())
{
    if (makeFile)
        makeAddressBook(m_dir.filePath(contacts::fileName()), contacts);
    QDir::setCurrent(m_dir.path());
    m_form = std::make_unique<Form1>(nullptr, book);
    m_form->show();
    if (!QTest::qWaitForWindowExposed(m_form.get()))
        qFatal("Form1 was not shown");
    // The navigator opens right after the show; a missing file reports instead.
    QTest::qWait(1);
    QCoreApplication::processEvents();
}

Card::~Card()
{
    m_form.reset();
    QDir::setCurrent(m_previousDir);
}

QString Card::path() const
{
    return m_dir.filePath(contacts::fileName());
}

QPushButton* Card::button(const QString& name) const
{
    auto* found = m_form->findChild<QPushButton*>(name);
    if (!found)
        qFatal("no button %s", qPrintable(name));
    return found;
}

QWidget* Card::widget(const QString& name) const
{
    auto* found = m_form->findChild<QWidget*>(name);
    if (!found)
        qFatal("no control %s", qPrintable(name));
    return found;
}

QString Card::text(const QString& box) const
{
    QWidget* found = widget(box);
    return found->property(qobject_cast<QLineEdit*>(found) ? "text" : "plainText").toString();
}

void typeText(QWidget* widget, const QString& text)
{
    // QTest::keyClicks only knows Latin-1 letters; any other text arrives as key events that carry it.
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == u'\n') {
            QTest::keyClick(widget, Qt::Key_Return);
            continue;
        }
        // A character outside the BMP is one key press carrying both halves of its surrogate pair.
        const qsizetype length = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QString typed = text.mid(i, length);
        i += length - 1;
        QTest::sendKeyEvent(QTest::Press, widget, Qt::Key_unknown, typed, Qt::NoModifier);
        QTest::sendKeyEvent(QTest::Release, widget, Qt::Key_unknown, typed, Qt::NoModifier);
    }
}

void Card::type(const QString& box, const QString& text)
{
    QWidget* found = widget(box);
    QMetaObject::invokeMethod(found, "selectAll");
    QTest::keyClick(found, Qt::Key_Backspace);
    typeText(found, text);
}

void Card::click(const QString& name, std::optional<bool> answer)
{
    if (auto* script = dynamic_cast<ScriptedDialogs*>(&Dialogs::instance()); script && answer)
        script->yesNoAnswers = {*answer};
    name.startsWith(u"Move"_s) ? barMove(name) : QTest::mouseClick(button(name), Qt::LeftButton);
}

QString Card::stored(qint64 id, const QString& field) const
{
    return fieldOf(path(), id, field).toString();
}

void Card::barMove(const QString& move)
{
    auto* tool = widget(u"Data1"_s)->findChild<QToolButton*>(move);
    if (!tool)
        qFatal("no bar button %s", qPrintable(move));
    QTest::mouseClick(tool, Qt::LeftButton);
}

QString Card::state() const
{
    QString shown = u"Browsing"_s;
    if (button(u"Command6"_s)->isVisible()) // SALVA
        shown = button(u"Command3"_s)->text() == u"ANNULLA"_s ? u"Modifying"_s : u"Adding"_s;
    // A screen reader hears the state as the window's description: it must follow the controls.
    static const QHash<QString, QString> told{{u"Browsing"_s, u"Consultazione"_s},
                                              {u"Modifying"_s, u"Modifica del contatto"_s},
                                              {u"Adding"_s, u"Aggiunta di un contatto"_s}};
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(m_form.get());
    const QString description = window ? window->text(QAccessible::Description) : QString();
    if (description != told.value(shown))
        return shown + u", but a screen reader hears \u00ab"_s + description + u"\u00bb"_s;
    return shown;
}

Form2* tableView()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* form = qobject_cast<Form2*>(widget); form && form->isVisible())
            return form;
    return nullptr;
}

BoundGrid* openTableView(Card& card)
{
    card.click(u"Command17"_s);
    Form2* form = tableView();
    if (!form || !QTest::qWaitForWindowExposed(form))
        qFatal("the table view was not shown");
    QCoreApplication::processEvents();
    return form->findChild<BoundGrid*>(u"DBGrid1"_s);
}

void deleteTableViews()
{
    // Deleting a window deletes its menu, itself a top-level widget of the list.
    QList<QPointer<Form2>> views;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* view = qobject_cast<Form2*>(widget))
            views.append(view);
    for (const QPointer<Form2>& view : views)
        delete view.data();
}

QList<Person> fourContacts()
{
    return contactsFrom(u"fourContacts"_s);
}

QWidget* activate(QWidget* window)
{
    window->activateWindow();
    QApplication::setActiveWindow(window);
    if (!QTest::qWaitForWindowActive(window))
        qWarning("window not active");
    QCoreApplication::processEvents();
    return QApplication::focusWidget();
}

QWidget* keys()
{
    QWidget* focus = QApplication::focusWidget();
    if (!focus)
        qWarning("no widget has the keyboard");
    return focus;
}

void whenModalShows(std::function<void(QWidget*)> answer)
{
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [answer, poll] {
        if (QWidget* modal = QApplication::activeModalWidget(); modal && modal->isVisible()) {
            answer(modal);
            return;
        }
        QTimer::singleShot(10, *poll);
    };
    QTimer::singleShot(10, *poll);
}

void clickCell(BoundGrid* grid, int row, int column)
{
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                      grid->visualRect(grid->model()->index(row, column)).center());
    QCoreApplication::processEvents();
}

QPoint selectorPoint(BoundGrid* grid, int row)
{
    const QHeaderView* selector = grid->verticalHeader();
    return {selector->width() / 2, selector->sectionViewportPosition(row) + selector->sectionSize(row) / 2};
}

void clickSelector(BoundGrid* grid, int row, Qt::KeyboardModifiers modifiers)
{
    QTest::mouseClick(grid->verticalHeader()->viewport(), Qt::LeftButton, modifiers,
                      selectorPoint(grid, row));
    QCoreApplication::processEvents();
}

QString cell(BoundGrid* grid, int row, int column)
{
    return grid->model()->index(row, column).data().toString();
}

QLineEdit* cellEditor(BoundGrid* grid)
{
    return qobject_cast<QLineEdit*>(grid->indexWidget(grid->currentIndex()));
}

} // namespace vinzal::test
