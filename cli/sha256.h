// SPDX-License-Identifier: MIT
//
// sha256.h - SHA-256 for the fixity of archived inputs and outputs, from
// OpenSSL's libcrypto: a digest is nothing to write by hand.
#pragma once

#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace trirotor::cli {

class Sha256 {
 public:
  Sha256();  // throws std::bad_alloc when libcrypto cannot make a context
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(std::string_view bytes);
  // The digest as 64 lowercase hex digits; the hash starts afresh after it.
  std::string Hex();

 private:
  evp_md_ctx_st* context_;
};

// The digest of `bytes` in one go.
std::string Sha256Hex(std::string_view bytes);

}  // namespace trirotor::cli
