// SPDX-License-Identifier: MIT
//
// sha256.h - SHA-256 for the fixity of archived inputs and outputs, from
// the system's own cryptography: OpenSSL's libcrypto on POSIX, CNG (bcrypt)
// on Windows. A digest is nothing to write by hand.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace trirotor::cli {

class Sha256 {
 public:
  Sha256();  // throws std::bad_alloc when the system cannot make a hash
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(std::string_view bytes);
  // The digest as 64 lowercase hex digits; the hash starts afresh after it.
  std::string Hex();

 private:
  struct State;  // the system's hash object
  std::unique_ptr<State> state_;
};

// The digest of `bytes` in one go.
inline std::string Sha256Hex(std::string_view bytes) {
  Sha256 hash;
  hash.Update(bytes);
  return hash.Hex();
}

}  // namespace trirotor::cli
