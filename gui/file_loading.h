// SPDX-License-Identifier: MIT
//
// file_loading.h - a file into the input pane: read with a bound, then taken
// as UTF-8 or, failing that, as bytes of the code page.
#pragma once

#include <QString>

namespace trirotor::gui {

struct LoadedFile {
  bool ok = false;
  QString text;   // the file's text, when ok
  QString how;    // "UTF-8" or "bytes of code page N", when ok
  QString error;  // why not, for the status line, when not ok
};

// Reads at most `maxBytes` bytes, whatever size the file claims. Text files
// are UTF-8 (a byte-order mark dropped), as the command line reads and
// writes them; a file that is not valid UTF-8 is taken as bytes of this
// thread's code page, one character each, as the sealing program's own
// files were.
LoadedFile LoadTextFile(const QString& path, qint64 maxBytes);

}  // namespace trirotor::gui
