// Fuzz target over the CSV and vCard readers: any bytes give records or errors, never a crash, and
// what they read without a complaint writes out in every variant and reads back exactly the same.
#include "csv.h"
#include "vcard.h"

#include <cstdint>
#include <cstdlib>

using namespace vinzal;

namespace {

// Written and read again: the same records (every field with its kind and bytes, NULL apart from
// the empty text), without a complaint, and written again the same bytes.
template <typename Read, typename Write> void roundTrip(const Contacts& records, Read read, Write write)
{
    const QByteArray written = write(records);
    const auto again = read(written);
    if (!again.errors.isEmpty() || !again.warnings.isEmpty() || again.records != records ||
        write(again.records) != written)
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
    const csv::ReadResult table = csv::read(bytes);
    // Plain, and the spreadsheet variant with its cells neutralised.
    for (const csv::WriteOptions options : {csv::WriteOptions{u',', false}, csv::WriteOptions{u';', true}})
        if (table.errors.isEmpty())
            roundTrip(
                table.records, [](const QByteArray& b) { return csv::read(b); },
                [&](const Contacts& r) { return csv::write(r, options); });
    const vcard::ReadResult cards = vcard::read(bytes);
    for (const QString& version : {QStringLiteral("3.0"), QStringLiteral("4.0")})
        if (cards.errors.isEmpty() && cards.warnings.isEmpty())
            roundTrip(cards.records, vcard::read,
                      [&](const Contacts& r) { return vcard::write(r, version); });
        else
            (void)vcard::write(cards.records, version);
    return 0;
}
