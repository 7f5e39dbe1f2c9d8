// The content pattern language of banned and required texts.
//
// A pattern is literals and bracketed commands. Literals are searched in
// order through the page; the text before the first literal, between two
// literals and after the last are regions, and each command tests the region
// it stands in:
//   ~+'T'        T occurs in the region          ~-'T'  T does not occur
//   ~=('A','B')  A and B occur equally often     ~%     they differ
//   ~>('A','B')  A more often than B             ~<     less often
//   ~?('A','B')  like ~> (the count never drops below zero)
//   ~!           the region ends with the segment before the command,
//                optionally followed by one character
// A pattern without brackets is a plain substring test; a bracketed segment
// not beginning with "~" is a literal; unknown operators pass.
#ifndef VANTRY_RUNNER_MATCH_CONTENT_H_
#define VANTRY_RUNNER_MATCH_CONTENT_H_

#include <string_view>

namespace vy {

enum class ContentMatch { kMissed, kMatched };

// Whether the pattern matches the page. The page must already be lower-cased;
// the pattern is used as it is. The empty pattern matches every page.
[[nodiscard]] ContentMatch matchContent(std::string_view page, std::string_view pattern);

}  // namespace vy

#endif  // VANTRY_RUNNER_MATCH_CONTENT_H_
