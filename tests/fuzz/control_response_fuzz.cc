// The application's answer as it reaches the control link: any bytes, cut
// into reads of any sizes. The outcome is the same whatever the cuts, and is
// either one JSON object or nothing.
//
// Input layout: the first byte's low four bits give the number of read sizes
// that follow (one byte each, cycled until the bytes run out); the rest is
// what the application sent.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/control_link.h"
#include "tests/fuzz/fuzz_check.h"

using tesselo::Json;
using tesselo::LineAssembler;
using tesselo::fuzz::require;

namespace {

struct Split {
  std::vector<size_t> sizes;
  std::string_view stream;
};

Split splitOf(std::string_view data) {
  Split split;
  if (data.empty()) return split;
  size_t count = static_cast<uint8_t>(data[0]) & 0x0f;
  data.remove_prefix(1);
  while (count-- > 0 && !data.empty()) {
    split.sizes.push_back(static_cast<uint8_t>(data[0]));
    data.remove_prefix(1);
  }
  split.stream = data;
  return split;
}

// Feeds the stream piece by piece, checking after each piece what the
// assembler says against what has been fed so far.
void feed(LineAssembler& assembler, const Split& split) {
  size_t offset = 0;
  size_t next = 0;
  bool sawLine = false;
  std::string lineWhenComplete;
  size_t cycleStart = 0;
  while (offset < split.stream.size()) {
    size_t size = split.stream.size();
    if (!split.sizes.empty()) {
      size_t index = next++ % split.sizes.size();
      if (index == 0) cycleStart = offset;
      size = split.sizes[index];
      // Sizes that are all zero would never end; the rest then comes at once.
      if (index + 1 == split.sizes.size() && offset == cycleStart && size == 0)
        size = split.stream.size();
    }
    std::string_view piece = split.stream.substr(offset, size);
    offset += piece.size();
    bool complete = assembler.add(piece);
    require(complete == assembler.complete(), "add reports completeness");
    bool lineFed = split.stream.substr(0, offset).find('\n') != std::string_view::npos;
    require(complete == lineFed, "complete exactly once a line feed has arrived");
    if (sawLine) {
      require(assembler.line() == lineWhenComplete, "a complete line never changes");
    } else if (complete) {
      sawLine = true;
      lineWhenComplete = std::string(assembler.line());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Split split = splitOf(std::string_view(reinterpret_cast<const char*>(data), size));
  LineAssembler cut;
  feed(cut, split);
  size_t lineFeed = split.stream.find('\n');
  require(cut.complete() == (lineFeed != std::string_view::npos), "complete iff a line feed came");
  if (cut.complete())
    require(cut.line() == split.stream.substr(0, lineFeed), "the line is the bytes before it");

  LineAssembler whole;
  whole.add(split.stream);
  std::optional<Json> outcome = tesselo::responseObject(cut);
  std::optional<Json> reference = tesselo::responseObject(whole);
  require(outcome.has_value() == reference.has_value(), "the cuts never change the outcome");
  if (!outcome) return 0;
  require(*outcome == *reference, "the cuts never change the object");
  require(cut.complete(), "no object without a whole line");
  require(outcome->is_object(), "the outcome is an object");
  // What the programs do next with an answer: write it out again.
  std::optional<std::string> compact = tesselo::compactJson(*outcome);
  require(compact.has_value(), "a received object can be written");
  require(compact->find('\n') == std::string::npos, "written on one line");
  std::optional<Json> again = tesselo::parseJson(*compact);
  require(again && *again == *outcome, "written and read back, it is the same object");
  return 0;
}
