// SPDX-License-Identifier: MIT
//
// previous_paths.h - the engine's fast paths before the second round of
// speed work, for engine_bench's side-by-side ratios only.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/trirotor.h"

namespace trirotor::bench::previous {

void InitCipher(std::u16string_view key, std::u16string_view keySuffix);
void DecryptBuffer(ByteBuffer& buffer);
void HuffmanDecode(ByteBuffer& data, std::int32_t length);

}  // namespace trirotor::bench::previous
