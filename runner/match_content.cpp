// The content pattern language; see match_content.h. Everything works on
// views of the page and the pattern, so a match allocates only its segment list.
#include "runner/match_content.h"

#include <string.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace vy {
namespace {

struct Segment {
  std::string_view text;
  bool isCommand() const { return !text.empty() && text[0] == '~'; }
};

// Splits at "[" and "]". An empty segment just before a "[" is dropped; the
// empty segment after a "]" is kept, so "~!" sees what precedes it.
std::vector<Segment> splitSegments(std::string_view pattern) {
  std::vector<Segment> segments;
  size_t start = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '[' && pattern[i] != ']') continue;
    std::string_view piece = pattern.substr(start, i - start);
    if (pattern[i] == ']' || !piece.empty()) segments.push_back({piece});
    start = i + 1;
  }
  segments.push_back({pattern.substr(start)});
  return segments;
}

// How common a byte is in a lower-cased web page, 0 for rare: letters by
// their frequency in English, then the characters of markup. A search
// looks for the needle's least common byte first.
constexpr std::array<uint8_t, 256> kCommonness = [] {
  std::array<uint8_t, 256> rank{};
  const char* byFrequency = "etaoinshrdlcumwfgypbvkjxqz";  // most common first
  for (int i = 0; byFrequency[i]; ++i) rank[static_cast<uint8_t>(byFrequency[i])] = 200 - 6 * i;
  for (char c : {' ', '<', '>'}) rank[static_cast<uint8_t>(c)] = 255;
  for (char c : {'/', '"', '=', '\n', '\t'}) rank[static_cast<uint8_t>(c)] = 190;
  for (char c : {'.', '-', ':', ';', ',', '_', '#', '\''}) rank[static_cast<uint8_t>(c)] = 120;
  for (char c = '0'; c <= '9'; ++c) rank[static_cast<uint8_t>(c)] = 110;
  return rank;
}();

// After this many candidates that turn out not to match, a search goes on
// with memmem, whose time stays linear whatever the page and the needle.
constexpr int kMaxFalseCandidates = 64;

// region.find(needle, from), made fast for pages: the needle's least common
// byte is looked for with memchr, which skips through text that does not
// hold it at memory speed, and each hit is compared whole.
size_t findIn(std::string_view region, std::string_view needle, size_t from = 0) {
  if (from > region.size()) return std::string_view::npos;
  if (needle.empty()) return from;
  if (needle.size() > region.size() - from) return std::string_view::npos;
  size_t pivot = 0;
  for (size_t i = 1; i < needle.size(); ++i) {
    if (kCommonness[static_cast<uint8_t>(needle[i])] <
        kCommonness[static_cast<uint8_t>(needle[pivot])]) {
      pivot = i;
    }
  }
  const char* begin = region.data();
  const char* last = begin + (region.size() - needle.size());  // the last possible start
  const char* start = begin + from;
  for (int misses = 0; start <= last && misses < kMaxFalseCandidates; ++misses) {
    const void* hit =
        std::memchr(start + pivot, needle[pivot], static_cast<size_t>(last - start) + 1);
    if (!hit) return std::string_view::npos;
    const char* candidate = static_cast<const char*>(hit) - pivot;
    if (std::memcmp(candidate, needle.data(), needle.size()) == 0) {
      return static_cast<size_t>(candidate - begin);
    }
    start = candidate + 1;
  }
  if (start > last) return std::string_view::npos;
  const void* found = ::memmem(start, static_cast<size_t>(begin + region.size() - start),
                               needle.data(), needle.size());
  return found ? static_cast<size_t>(static_cast<const char*>(found) - begin)
               : std::string_view::npos;
}

// Non-overlapping occurrences; an empty needle counts nothing.
long countOccurrences(std::string_view region, std::string_view needle) {
  if (needle.empty()) return 0;
  long count = 0;
  for (size_t at = findIn(region, needle); at != std::string_view::npos;
       at = findIn(region, needle, at + needle.size())) {
    ++count;
  }
  return count;
}

// The text from `from` up to the next apostrophe (or the end).
std::string_view quoted(std::string_view segment, size_t from) {
  if (from >= segment.size()) return {};
  std::string_view rest = segment.substr(from);
  return rest.substr(0, rest.find('\''));
}

// ~op('A','B'): A from the fifth character; B after the apostrophe that
// follows A's closing apostrophe.
bool testCounts(char op, std::string_view command, std::string_view region) {
  std::string_view a = quoted(command, 4);
  std::string_view b;
  size_t afterA = 4 + a.size() + 1;  // past A's closing apostrophe
  if (afterA < command.size()) {
    size_t open = command.find('\'', afterA);
    if (open != std::string_view::npos) b = quoted(command, open + 1);
  }
  long count = countOccurrences(region, a);
  long bCount = countOccurrences(region, b);
  count = op == '?' ? (count > bCount ? count - bCount : 0) : count - bCount;
  switch (op) {
    case '?':
    case '%':
      return count != 0;
    case '=':
      return count == 0;
    case '>':
      return count > 0;
    default:  // '<'
      return count < 0;
  }
}

// ~!: the region ends with the previous segment, plus at most one character.
bool testEnding(const Segment* previous, std::string_view region) {
  if (region.size() <= 1 || !previous) return true;
  size_t tail = previous->text.size() + 1;
  std::string_view end = region.size() > tail ? region.substr(region.size() - tail) : region;
  return findIn(end, previous->text) != std::string_view::npos;
}

bool runCommand(std::string_view command, const Segment* previous, std::string_view region) {
  if (command.size() < 2) return true;
  const char op = command[1];
  switch (op) {
    case '?':
    case '=':
    case '%':
    case '>':
    case '<':
      return testCounts(op, command, region);
    case '+':
      return findIn(region, quoted(command, 3)) != std::string_view::npos;
    case '-':
      return findIn(region, quoted(command, 3)) == std::string_view::npos;
    case '!':
      return testEnding(previous, region);
    default:
      return true;
  }
}

// Where a literal was found in the page.
struct LiteralMatch {
  size_t begin;
  size_t end;
};

// The literals, each searched from the end of the previous match; none when
// one is missing.
std::optional<std::vector<LiteralMatch>> findLiterals(std::string_view page,
                                                      const std::vector<Segment>& segments) {
  std::vector<LiteralMatch> matches;
  size_t from = 0;
  for (const Segment& segment : segments) {
    if (segment.text.empty() || segment.isCommand()) continue;
    size_t at = findIn(page, segment.text, from);
    if (at == std::string_view::npos) return std::nullopt;
    matches.push_back({at, at + segment.text.size()});
    from = at + segment.text.size();
  }
  return matches;
}

// Each command on the region it stands in: from the end of the literal before
// it to the start of the literal after it.
bool commandsPass(std::string_view page, const std::vector<Segment>& segments,
                  const std::vector<LiteralMatch>& matches) {
  size_t literalsPassed = 0;
  const Segment* previous = nullptr;
  for (const Segment& segment : segments) {
    if (segment.isCommand()) {
      size_t regionBegin = literalsPassed == 0 ? 0 : matches[literalsPassed - 1].end;
      size_t regionEnd =
          literalsPassed < matches.size() ? matches[literalsPassed].begin : page.size();
      std::string_view region = page.substr(regionBegin, regionEnd - regionBegin);
      if (!runCommand(segment.text, previous, region)) return false;
    } else if (!segment.text.empty()) {
      ++literalsPassed;
    }
    previous = &segment;
  }
  return true;
}

}  // namespace

ContentMatch matchContent(std::string_view page, std::string_view pattern) {
  if (pattern.empty()) return ContentMatch::kMatched;
  const std::vector<Segment> segments = splitSegments(pattern);
  const std::optional<std::vector<LiteralMatch>> matches = findLiterals(page, segments);
  if (!matches || !commandsPass(page, segments, *matches)) return ContentMatch::kMissed;
  return ContentMatch::kMatched;
}

}  // namespace vy
