// SPDX-License-Identifier: MIT
//
// glob.h - the archive run's --include and --exclude patterns, matched the
// same way on every system: by bytes, as fnmatch does in the C locale.
#pragma once

#include <string_view>

namespace trirotor::cli {

// Whether `pattern` matches all of `text`: '*' any run of bytes, '?' one
// byte, "[...]" one byte of a set (ranges "a-z", classes "[:digit:]",
// "[=c=]" and "[.c.]" for c; '!' or '^' first for the bytes not in it; ']'
// first stands for itself), '\' takes the next byte as it stands. With
// `pathname`, no '*', '?' or set matches a '/': only a '/' in the pattern
// does. An unclosed '[' is a byte of its own; a '\' that ends the pattern
// matches nothing. The time it takes grows with the pattern's length times
// the text's, whatever they hold.
bool GlobMatch(std::string_view pattern, std::string_view text, bool pathname);

}  // namespace trirotor::cli
