// SPDX-License-Identifier: MIT
//
// sha256_windows.cpp - SHA-256 through Windows' CNG (bcrypt): one
// algorithm handle for the process, a hash object per Sha256.

#include "cli/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <new>

namespace trirotor::cli {

namespace {

// Opened once: the provider is the costly part, and its handle may make
// hashes on any thread.
BCRYPT_ALG_HANDLE Provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) handle = nullptr;
    return handle;
  }();
  if (provider == nullptr) throw std::bad_alloc();
  return provider;
}

}  // namespace

struct Sha256::State {
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~State() {
    if (hash != nullptr) BCryptDestroyHash(hash);
  }
  void Start() {
    // The system keeps the hash object's memory when given none.
    if (!BCRYPT_SUCCESS(BCryptCreateHash(Provider(), &hash, nullptr, 0, nullptr, 0, 0))) {
      hash = nullptr;
      throw std::bad_alloc();
    }
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) { state_->Start(); }

Sha256::~Sha256() = default;

void Sha256::Update(std::string_view bytes) {
  // BCryptHashData takes a ULONG length: big inputs go in pieces.
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  while (!bytes.empty()) {
    const std::size_t piece = std::min(bytes.size(), kPiece);
    BCryptHashData(state_->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())), static_cast<ULONG>(piece),
                   0);
    bytes.remove_prefix(piece);
  }
}

std::string Sha256::Hex() {
  unsigned char digest[32];
  const bool done = BCRYPT_SUCCESS(BCryptFinishHash(state_->hash, digest, sizeof digest, 0));
  BCryptDestroyHash(state_->hash);
  state_->hash = nullptr;
  state_->Start();
  if (!done) throw std::bad_alloc();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return hex;
}

}  // namespace trirotor::cli
