#include "book_export.h"

#include "book_io.h"
#include "contact_table.h"
#include "csv.h"
#include "safe_file.h"
#include "vcard.h"
#include "xlsx.h"

using namespace Qt::StringLiterals;

namespace vinzal::bookexport {

namespace {

constexpr qsizetype kBatch = 2000;

QByteArray textOf(Format format, const Contacts& records, bool first)
{
    switch (format) {
    case Format::Csv:
        return csv::write(records, {u',', false, first});
    case Format::Spreadsheet:
        return csv::write(records, {u';', true, first});
    case Format::VCard3:
        return vcard::write(records, u"3.0"_s);
    case Format::VCard4:
        return vcard::write(records, u"4.0"_s);
    case Format::Xlsx:
        break;
    }
    return {};
}

void note(Written& written, const Contacts& records)
{
    for (const Contact& record : records)
        for (int i = 1; i < fieldCount; ++i) {
            const Value& value = record.at(i);
            const bool invalid = !value.isValidUtf8();
            const bool other = !value.isNull() && !value.isText();
            if (!invalid && !other)
                continue;
            const QString place = u"il campo «"_s + contacts::fields().value(i) +
                                  u"» del contatto con ID "_s + record[Field::Id].toText();
            if (invalid && written.invalidUtf8++ == 0)
                written.firstInvalidUtf8 = place;
            if (other && written.notText++ == 0)
                written.firstNotText = place;
        }
}

Written cancelled()
{
    Written stop;
    stop.cancelled = true;
    return stop;
}

} // namespace

Written scan(const Contacts& records)
{
    Written found;
    note(found, records);
    return found;
}

QByteArray bytes(Format format, const Contacts& records)
{
    return textOf(format, records, true);
}

Result<Written> stream(const QString& book, Format format, const std::function<bool(const QByteArray&)>& sink,
                       bool* sinkFailed)
{
    Written written;
    bool refused = false;
    const auto take = [&](const Contacts& batch) {
        if (!sink(textOf(format, batch, written.count == 0)))
            return !(refused = true);
        note(written, batch);
        written.count += batch.size();
        return true;
    };
    if (Status read = book::readInBatches(book, kBatch, take); !read)
        return read.error();
    if (!refused && written.count == 0 && !sink(textOf(format, {}, true)))
        refused = true;
    if (refused) {
        if (sinkFailed)
            *sinkFailed = true;
        return StoreError{StoreError::Kind::Engine, u"I dati non sono stati presi tutti."_s, {}};
    }
    return written;
}

Result<Written> write(const Request& request)
{
    const auto go = [&](qint64 done, qint64 total) {
        return !request.progress || request.progress(done, total);
    };
    Written written;
    if (request.format == Format::Xlsx) {
        // A batch at a time, as the text formats: the workbook writer streams its sheet, and puts the
        // file in place itself once it is whole and on disk; a cancel leaves the old file.
        bool stopped = false;
        qint64 total = request.only ? request.only->size() : 0;
        const interchange::RowBatches batches =
            [&](const std::function<bool(const Contacts&)>& take) -> Status {
            const auto each = [&](const Contacts& batch) {
                if (!take(batch))
                    return false;
                note(written, batch);
                written.count += batch.size();
                return !(stopped = !go(written.count, total));
            };
            if (request.only) {
                for (qsizetype at = 0; at < request.only->size(); at += kBatch)
                    if (!each(request.only->mid(at, kBatch)))
                        break;
            } else if (Status read = book::readInBatches(request.book, kBatch, each, &total); !read) {
                return read;
            }
            return stopped ? Status(StoreError{StoreError::Kind::Engine, u"Esportazione annullata."_s, {}})
                           : Status();
        };
        if (!go(0, total))
            return cancelled();
        if (Status done = interchange::writeXlsx(request.target, batches, request.force, {request.book});
            !done) {
            if (stopped)
                return cancelled();
            return done.error();
        }
        return written;
    }

    auto pending = safefile::PendingFile::begin(request.target, request.force, {request.book});
    if (!pending)
        return pending.error();
    safefile::PendingFile& file = *pending.value();

    Status failed;
    bool stopped = false;
    qint64 total = 0;
    const auto take = [&](const Contacts& batch) {
        if (Status put = file.write(textOf(request.format, batch, written.count == 0)); !put) {
            failed = put;
            return false;
        }
        note(written, batch);
        written.count += batch.size();
        if (!go(written.count, total)) {
            stopped = true;
            return false;
        }
        return true;
    };
    if (request.only) {
        total = request.only->size();
        for (qsizetype at = 0; at < request.only->size() && !stopped && failed; at += kBatch)
            take(request.only->mid(at, kBatch));
    } else if (Status read = book::readInBatches(request.book, kBatch, take, &total); !read) {
        return read.error();
    }
    if (!failed)
        return failed.error();
    if (stopped)
        return cancelled();
    // An empty book is still a file: the header alone, or nothing for vCard.
    if (written.count == 0)
        if (Status put = file.write(textOf(request.format, {}, true)); !put)
            return put.error();
    if (Status committed = file.commit(); !committed)
        return committed.error();
    return written;
}

} // namespace vinzal::bookexport
