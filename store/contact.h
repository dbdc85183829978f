#pragma once

#include "value.h"

#include <QList>

#include <array>

namespace vinzal {

// The twelve fields of a contact, in the order of contacts::fields() (the table view's columns).
enum class Field : int {
    Id,
    Genere,
    Nome, // "Cognone e nome o denominazione"
    Ulteriore,
    Citta,
    Indirizzo,
    EMail,
    TelefonoCasa,
    TelefonoUfficio,
    Fax,
    Telefonino,
    Osservazioni,
};
constexpr int fieldCount = 12;

// One contact as the store, copy, import and export carry it: each field's stored value. The ID is
// NULL for a contact that has none yet (a new ID is given when it is stored).
struct Contact
{
    std::array<Value, fieldCount> values;

    Value& operator[](Field field) { return values[std::size_t(field)]; }
    const Value& operator[](Field field) const { return values[std::size_t(field)]; }
    Value& at(int position) { return values[std::size_t(position)]; }
    const Value& at(int position) const { return values[std::size_t(position)]; }

    friend bool operator==(const Contact& a, const Contact& b) { return a.values == b.values; }
};

using Contacts = QList<Contact>;

} // namespace vinzal
