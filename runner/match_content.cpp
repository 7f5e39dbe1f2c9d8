// The content pattern language; see match_content.h. Everything works on
// views of the page and the pattern, so a match allocates only its segment list.
#include "runner/match_content.h"

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

// Non-overlapping occurrences; an empty needle counts nothing.
long countOccurrences(std::string_view region, std::string_view needle) {
  if (needle.empty()) return 0;
  long count = 0;
  for (size_t at = region.find(needle); at != std::string_view::npos;
       at = region.find(needle, at + needle.size())) {
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
  return end.find(previous->text) != std::string_view::npos;
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
      return region.find(quoted(command, 3)) != std::string_view::npos;
    case '-':
      return region.find(quoted(command, 3)) == std::string_view::npos;
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

}  // namespace

int matchContent(std::string_view page, std::string_view pattern) {
  if (pattern.empty()) return 1;
  std::vector<Segment> segments = splitSegments(pattern);

  // Literals first: each is searched from the end of the previous match.
  std::vector<LiteralMatch> matches;
  size_t from = 0;
  for (const Segment& segment : segments) {
    if (segment.text.empty() || segment.isCommand()) continue;
    size_t at = page.find(segment.text, from);
    if (at == std::string_view::npos) return 0;
    matches.push_back({at, at + segment.text.size()});
    from = at + segment.text.size();
  }

  // Then commands, each on the region it stands in.
  size_t literalsPassed = 0;
  const Segment* previous = nullptr;
  for (const Segment& segment : segments) {
    if (segment.isCommand()) {
      size_t regionBegin = literalsPassed == 0 ? 0 : matches[literalsPassed - 1].end;
      size_t regionEnd =
          literalsPassed < matches.size() ? matches[literalsPassed].begin : page.size();
      std::string_view region = page.substr(regionBegin, regionEnd - regionBegin);
      if (!runCommand(segment.text, previous, region)) return 0;
    } else if (!segment.text.empty()) {
      ++literalsPassed;
    }
    previous = &segment;
  }
  return 1;
}

}  // namespace vy
