// Owns the use of OpenSSL's libcrypto for MD5 digests.
#include "platform/md5.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace zelm {

struct CMd5::State {
  EVP_MD_CTX* context = nullptr;
};

CMd5::CMd5() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  // Allocation failure of a few bytes or a libcrypto without MD5 leaves nothing sensible to
  // do; both mean a broken installation, not bad input.
  if (state_->context == nullptr || EVP_DigestInit_ex(state_->context, EVP_md5(), nullptr) != 1) {
    std::abort();
  }
}

CMd5::~CMd5() { EVP_MD_CTX_free(state_->context); }

void CMd5::Update(const void* data, size_t length) {
  if (length != 0) EVP_DigestUpdate(state_->context, data, length);
}

Md5Digest CMd5::Final() {
  Md5Digest digest{};
  unsigned int size = 0;
  EVP_DigestFinal_ex(state_->context, digest.data(), &size);
  return digest;
}

Md5Digest Md5Of(const void* data, size_t length) {
  CMd5 md5;
  md5.Update(data, length);
  return md5.Final();
}

}  // namespace zelm
