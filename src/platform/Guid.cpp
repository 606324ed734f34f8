#include "platform/Guid.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstring>

namespace norvane {

namespace {

// Random bytes drawn from OpenSSL a batch at a time: each draw costs a lock and a look at the
// process id, whatever its size, and a session start needs sixteen bytes. Each thread keeps
// its own batch, and a byte handed out is wiped from it.
class TRandomBatch {
 public:
  ~TRandomBatch() { OPENSSL_cleanse(bytes_, sizeof bytes_); }
  template <size_t n>
  bool Take(unsigned char (&into)[n]) {
    static_assert(n <= sizeof bytes_);
    if (left_ < n) {
      if (RAND_bytes(bytes_, sizeof bytes_) != 1) return false;
      left_ = sizeof bytes_;
    }
    unsigned char* from = bytes_ + (sizeof bytes_ - left_);
    std::memcpy(into, from, n);
    OPENSSL_cleanse(from, n);
    left_ -= n;
    return true;
  }

 private:
  unsigned char bytes_[512];
  size_t left_ = 0;
};

}  // namespace

std::string new_guid() {
  unsigned char bytes[16];
  thread_local TRandomBatch batch;
  if (!batch.Take(bytes)) return std::string();
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4: random
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  // 8-4-4-4-12 hexadecimal digits, upper case.
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace norvane
