// Country names by ISO 3166-1 three-letter code, as a card's nationality
// gives it: English and Chinese (UTF-8), from Debian's iso-codes, made into a
// table at build time (country_names.py).
//
// Constant data and a pure look-up; safe from any thread.
#pragma once

#include <cstddef>
#include <string>

namespace q48tool {

struct CountryName {
  const char* code;     // "USA"
  const char* english;  // "United States"
  const char* chinese;  // "美国"; the English name where the catalogue has none
};

// Sorted by code.
extern const CountryName kCountryNames[];
extern const size_t kCountryNameCount;

// The country of a code, or null for a code the table does not have.
const CountryName* FindCountry(const std::string& code);

}  // namespace q48tool
