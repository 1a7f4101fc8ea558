// SPDX-License-Identifier: MIT
//
// file_text.cpp - a file's bytes as a window's input text.

#include "gui/file_text.h"

#include "engine/trirotor.h"
#include "support/utf8.h"

namespace trirotor::gui {

FileText TextOfFileBytes(std::string_view bytes) {
  FileText result;
  std::string_view body = bytes;
  if (body.starts_with(support::kByteOrderMark)) body.remove_prefix(support::kByteOrderMark.size());
  std::size_t badOffset = 0;
  if (support::DecodeUtf8(body, result.text, badOffset)) return result;
  result.utf8 = false;
  result.text = platform::BytesToText(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return result;
}

}  // namespace trirotor::gui
