#include "country_names.h"

#include <algorithm>
#include <cstring>

namespace q48tool {

const CountryName* FindCountry(const std::string& code) {
  const CountryName* end = kCountryNames + kCountryNameCount;
  const CountryName* at = std::lower_bound(kCountryNames, end, code, [](const CountryName& row, const std::string& c) {
    return std::strcmp(row.code, c.c_str()) < 0;
  });
  return at != end && code == at->code ? at : nullptr;
}

}  // namespace q48tool
