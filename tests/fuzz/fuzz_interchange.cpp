// Fuzz target over the CSV and vCard readers: any bytes give records or errors, never a crash, and
// what they read without a complaint writes out in every variant and reads back exactly the same.
#include "csv.h"
#include "vcard.h"

#include <cstdint>
#include <cstdlib>

namespace {

using Records = vinzal::Contacts;

// Every field with its kind and bytes: NULL apart from the empty text.
bool same(const Records& a, const Records& b)
{
    return a == b;
}

void checkCsv(const Records& records, const vinzal::csv::WriteOptions& options)
{
    const QByteArray written = vinzal::csv::write(records, options);
    const vinzal::csv::ReadResult again = vinzal::csv::read(written);
    if (!again.errors.isEmpty() || !again.warnings.isEmpty() || !same(again.records, records) ||
        vinzal::csv::write(again.records, options) != written)
        std::abort();
}

void checkVCard(const Records& records, const QString& version)
{
    const QByteArray written = vinzal::vcard::write(records, version);
    const vinzal::vcard::ReadResult again = vinzal::vcard::read(written);
    if (!again.errors.isEmpty() || !again.warnings.isEmpty() || !same(again.records, records) ||
        vinzal::vcard::write(again.records, version) != written)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const vinzal::csv::ReadResult table = vinzal::csv::read(bytes);
    if (table.errors.isEmpty()) {
        checkCsv(table.records, {u',', false});
        checkCsv(table.records, {u';', true}); // the spreadsheet variant, cells neutralised
    }
    const vinzal::vcard::ReadResult cards = vinzal::vcard::read(bytes);
    if (cards.errors.isEmpty() && cards.warnings.isEmpty()) {
        checkVCard(cards.records, QStringLiteral("3.0"));
        checkVCard(cards.records, QStringLiteral("4.0"));
    } else {
        (void)vinzal::vcard::write(cards.records, QStringLiteral("4.0"));
    }
    return 0;
}
