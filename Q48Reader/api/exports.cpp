// The five exported functions: the exchange with the platform's defaults.
#include "Q48Reader.h"
#include "exchange.h"

namespace {
const q48::ExchangeOptions& Defaults() {
  static const q48::ExchangeOptions options;  // /sys and /dev; the system portrait converter
  return options;
}
}  // namespace

extern "C" {

Q48_API short Q48_CALL zelListReaderCard(void) { return q48::ListReaderCard(Defaults()); }

Q48_API short Q48_CALL zelReadCard(char* buffer) { return q48::ReadCard(Defaults(), buffer); }

Q48_API short Q48_CALL zelReadICCID(char* buffer) { return q48::ReadIccid(Defaults(), buffer); }

Q48_API short Q48_CALL zelReadCardType(void) { return q48::ReadCardType(Defaults()); }

Q48_API short Q48_CALL zelWriteCard(const char* content, const char* number) {
  return q48::WriteCard(Defaults(), content, number);
}

}  // extern "C"
