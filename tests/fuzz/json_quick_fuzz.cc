// The quick JSON reader and writer against nlohmann/json: whatever the quick
// reader accepts, the full parser accepts with the same value and number
// types; whatever the quick writer writes is byte for byte nlohmann's dump.
#include <string>
#include <string_view>

#include "support/json_quick.h"
#include "support/json_write.h"
#include "tests/fuzz/fuzz_check.h"

using tesselo::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto quick = tesselo::parseQuickly(text);
  if (!quick) return 0;
  tesselo::Json full = tesselo::Json::parse(text.begin(), text.end(), nullptr, false);
  require(!full.is_discarded(), "the full parser accepts what the quick reader accepts");
  // dump() tells 1 from 1.0 and -0 from 0, where == would not.
  require(quick->dump() == full.dump(), "both readers give the same value and number types");
  std::string written;
  require(tesselo::writeQuickly(*quick, written) && written == full.dump(),
          "the quick writer writes nlohmann's bytes");
  auto reparsed = tesselo::parseJson(written);
  require(reparsed && reparsed->dump() == written, "what is written reads back the same");
  return 0;
}
