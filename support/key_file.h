// SPDX-License-Identifier: MIT
//
// key_file.h - reading a key or key suffix from a file, the one way the
// command line and the window both read them.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace trirotor::support {

// Far past any real key; a bigger file is not a key file.
inline constexpr std::size_t kMaxKeyFileBytes = std::size_t{1} << 20;

// A key file that cannot be used; what() is for the user and names the file.
class KeyFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The key in a key file's bytes: strict UTF-8, a leading byte-order mark
// dropped, and one trailing LF or CRLF dropped (the line end editors leave;
// a second one is part of the key). `what` names the file in messages
// ("the key file"). Throws KeyFileError for bytes that are not UTF-8. An
// empty result is returned as it is: whether it may be empty is the
// caller's rule (a key may not, a suffix may).
std::u16string KeyFromFileBytes(std::string_view bytes, std::string_view what);

// A read cut short by a signal that `stopRequested` said should stop it.
class KeyFileInterrupted : public KeyFileError {
 public:
  using KeyFileError::KeyFileError;
};

// Reads the file at `path` (at most kMaxKeyFileBytes) and returns
// KeyFromFileBytes of it. Throws KeyFileError when it cannot be opened or
// read, is a directory, or is too large. A signal that interrupts the open
// or a read (a FIFO with no writer yet) is retried unless `stopRequested`
// is given and returns true; then KeyFileInterrupted is thrown.
std::u16string ReadKeyFile(const std::string& path, std::string_view what, bool (*stopRequested)() = nullptr);

}  // namespace trirotor::support
