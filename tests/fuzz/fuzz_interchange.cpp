// Fuzz target over the CSV and vCard readers: any bytes give records or errors, never a crash, and
// what they read writes out and reads back the same.
#include "csv.h"
#include "vcard.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const vinzal::csv::ReadResult table = vinzal::csv::read(bytes);
    if (table.errors.isEmpty()) {
        const vinzal::csv::ReadResult again = vinzal::csv::read(vinzal::csv::write(table.records));
        if (!again.errors.isEmpty() || again.records != table.records)
            std::abort();
    }
    const vinzal::vcard::ReadResult cards = vinzal::vcard::read(bytes);
    (void)vinzal::vcard::write(cards.records, QStringLiteral("4.0"));
    return 0;
}
