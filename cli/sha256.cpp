// SPDX-License-Identifier: MIT
//
// sha256.cpp - SHA-256 through libcrypto's EVP interface.

#include "cli/sha256.h"

#include <openssl/evp.h>

#include <new>

namespace trirotor::cli {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
  ~State() { EVP_MD_CTX_free(context); }
};

namespace {

void Start(EVP_MD_CTX* context) {
  if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
}

}  // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context == nullptr) throw std::bad_alloc();
  Start(state_->context);
}

Sha256::~Sha256() = default;

void Sha256::Update(std::string_view bytes) {
  // libcrypto's SHA-256 fails only on a context it never started.
  if (!bytes.empty()) EVP_DigestUpdate(state_->context, bytes.data(), bytes.size());
}

std::string Sha256::Hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->context, digest, &length);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  Start(state_->context);
  return hex;
}

}  // namespace trirotor::cli
