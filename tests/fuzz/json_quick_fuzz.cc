// The JSON reader and the quick writer against nlohmann/json: whatever
// parseJson or its quick reader accepts, the full parser accepts with the
// same value and number types; whatever the quick writer writes is byte for
// byte nlohmann's dump. The corpus holds a text for each way a document is
// refused.
#include "support/json_quick.h"
#include "support/json_write.h"
#include "tests/fuzz/fuzz_check.h"

static void check(std::string_view text) {
  tesselo::Json full = tesselo::Json::parse(text.begin(), text.end(), nullptr, false);
  auto parsed = tesselo::parseJson(text), quick = tesselo::parseQuickly(text);
  require(!parsed || (!full.is_discarded() && parsed->dump() == full.dump()),
          "parseJson reads only what the full parser reads, as it reads it");
  if (!quick) return;
  require(!full.is_discarded(), "the full parser accepts what the quick reader accepts");
  // dump() tells 1 from 1.0 and -0 from 0, where == would not.
  require(quick->dump() == full.dump(), "both readers give the same value and number types");
  std::string written;
  require(tesselo::writeQuickly(*quick, written) && written == full.dump(),
          "the quick writer writes nlohmann's bytes");
  auto reparsed = tesselo::parseJson(written);
  require(reparsed && reparsed->dump() == written, "what is written reads back the same");
}
