// The application's answer as it reaches the control link: any bytes, cut
// into reads of any sizes. The outcome is the same whatever the cuts, and is
// either one JSON object or nothing.
//
// Input layout: the first byte's low four bits give the number of read sizes
// that follow (one byte each, cycled until the bytes run out); the rest is
// what the application sent.
#include "support/control_link.h"
#include "tests/fuzz/fuzz_check.h"

static void check(std::string_view stream) {
  std::string_view sizes = stream.substr(0, stream.empty() ? 0 : 1 + (stream[0] & 0x0f));
  stream.remove_prefix(sizes.size());
  if (!sizes.empty()) sizes.remove_prefix(1);
  tesselo::LineAssembler cut, whole;
  // Sizes that are all zero would never end: the stream then comes at once.
  bool cycled = sizes.find_first_not_of('\0') != sizes.npos;
  for (size_t offset = 0, next = 0; offset < stream.size(); ++next) {
    size_t piece = cycled ? static_cast<uint8_t>(sizes[next % sizes.size()]) : stream.size();
    std::string_view bytes = stream.substr(offset, piece);
    offset += bytes.size();
    bool complete = cut.add(bytes);
    require(complete == cut.complete(), "add reports completeness");
    require(complete == (stream.substr(0, offset).find('\n') != stream.npos),
            "complete exactly once a line feed has arrived");
    require(!complete || cut.line() == stream.substr(0, stream.find('\n')),
            "the line is the bytes before the first line feed, and stays so");
  }
  whole.add(stream);
  std::optional<tesselo::Json> outcome = responseObject(cut);
  require(outcome == responseObject(whole), "the cuts never change the outcome");
  if (!outcome) return;
  require(outcome->is_object(), "the outcome is an object");
  // What the programs do next with an answer: write it out again.
  std::optional<std::string> compact = tesselo::compactJson(*outcome);
  require(compact && compact->find('\n') == std::string::npos, "it is written on one line");
  require(tesselo::parseJson(*compact) == outcome, "written and read back, it is the same object");
}
