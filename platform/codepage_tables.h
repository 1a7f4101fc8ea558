// SPDX-License-Identifier: MIT
//
// codepage_tables.h - how a code page's byte table is made, for the tests
// that check the rule on pages a host may not select.
#pragma once

#include <array>

namespace trirotor::internal {

// The character each byte of a single-byte page stands for: the page's own
// characters first; an unassigned byte takes U+0000 + byte when that is
// free and U+F700 + byte when not, so that no two bytes share a character.
// Throws std::invalid_argument for a multi-byte or unknown page. No
// ASCII-compatibility check is made here.
std::array<char16_t, 256> CodePageCharacters(int codePage);

// Selects any single-byte page for this thread, ASCII-compatible or not.
// For tests of the engine's behaviour under such pages only: the hosts use
// platform::SetCodePage, which refuses them.
void SetAnySingleByteCodePage(int codePage);

}  // namespace trirotor::internal
