#include "qynId_Hash.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <stdexcept>

namespace {

// Digest algorithms are fetched once per process; fetching is the expensive part of a one-shot
// digest in OpenSSL 3.
const EVP_MD* FetchMD(const char* aName) {
  EVP_MD* md = EVP_MD_fetch(nullptr, aName, nullptr);
  if (!md) throw Exception(std::string("digest not available: ") + aName);
  return md;
}

const EVP_MD* MD5MD() { static const EVP_MD* md = FetchMD("MD5"); return md; }
const EVP_MD* SHA1MD() { static const EVP_MD* md = FetchMD("SHA1"); return md; }
const EVP_MD* SHA256MD() { static const EVP_MD* md = FetchMD("SHA256"); return md; }

TIdBytes Digest(const EVP_MD* aMD, const void* aData, size_t aLen) {
  TIdBytes out(static_cast<size_t>(EVP_MD_get_size(aMD)));
  unsigned int n = 0;
  if (EVP_Digest(aData, aLen, out.data(), &n, aMD, nullptr) != 1) throw Exception("digest failed");
  out.resize(n);
  return out;
}

// One HMAC context per thread and algorithm, re-keyed for every call.
class HMACContext {
public:
  explicit HMACContext(const char* aDigest) {
    static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (!mac) throw Exception("HMAC not available");
    FCtx = EVP_MAC_CTX_new(mac);
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(aDigest), 0),
                           OSSL_PARAM_construct_end()};
    if (!FCtx || EVP_MAC_CTX_set_params(FCtx, params) != 1) throw Exception("HMAC setup failed");
  }
  ~HMACContext() { EVP_MAC_CTX_free(FCtx); }
  HMACContext(const HMACContext&) = delete;
  HMACContext& operator=(const HMACContext&) = delete;

  void Compute(const void* aKey, size_t aKeyLen, const void* aData, size_t aLen, uint8_t* aOut, size_t aOutSize) {
    static const uint8_t empty = 0;
    // OpenSSL rejects a null key pointer even for an empty key.
    const auto* key = aKeyLen ? static_cast<const unsigned char*>(aKey) : &empty;
    size_t n = 0;
    if (EVP_MAC_init(FCtx, key, aKeyLen, nullptr) != 1 ||
        EVP_MAC_update(FCtx, static_cast<const unsigned char*>(aData), aLen) != 1 ||
        EVP_MAC_final(FCtx, aOut, &n, aOutSize) != 1 || n != aOutSize)
      throw Exception("HMAC failed");
  }

private:
  EVP_MAC_CTX* FCtx = nullptr;
};

} // namespace

TIdBytes TIdHashMessageDigest5::HashBytes(const void* aData, size_t aLen) { return Digest(MD5MD(), aData, aLen); }
TIdBytes TIdHashSHA1::HashBytes(const void* aData, size_t aLen) { return Digest(SHA1MD(), aData, aLen); }
TIdBytes TIdHashSHA256::HashBytes(const void* aData, size_t aLen) { return Digest(SHA256MD(), aData, aLen); }

void TIdHMACSHA1::HashValue(const void* aKey, size_t aKeyLen, const void* aData, size_t aLen, uint8_t* aOut) {
  thread_local HMACContext ctx("SHA1");
  ctx.Compute(aKey, aKeyLen, aData, aLen, aOut, Size);
}

TIdBytes TIdHMACSHA1::HashValue(const TIdBytes& aKey, const void* aData, size_t aLen) {
  TIdBytes out(Size);
  HashValue(aKey.data(), aKey.size(), aData, aLen, out.data());
  return out;
}

void TIdHMACSHA256::HashValue(const void* aKey, size_t aKeyLen, const void* aData, size_t aLen, uint8_t* aOut) {
  thread_local HMACContext ctx("SHA256");
  ctx.Compute(aKey, aKeyLen, aData, aLen, aOut, Size);
}

TIdBytes TIdHMACSHA256::HashValue(const TIdBytes& aKey, const void* aData, size_t aLen) {
  TIdBytes out(Size);
  HashValue(aKey.data(), aKey.size(), aData, aLen, out.data());
  return out;
}

std::string TIdEncoderMIME::EncodeBytes(const void* aData, size_t aLen) {
  std::string out(4 * ((aLen + 2) / 3), '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), static_cast<const unsigned char*>(aData),
                                static_cast<int>(aLen));
  out.resize(static_cast<size_t>(n));
  return out;
}

TIdBytes TIdDecoderMIME::DecodeBytes(std::string_view aText) {
  if (aText.size() % 4 != 0) throw Exception("invalid base64 text");
  TIdBytes out(aText.size() / 4 * 3);
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(aText.data()), static_cast<int>(aText.size()));
  if (n < 0) throw Exception("invalid base64 text");
  size_t len = static_cast<size_t>(n);
  // EVP_DecodeBlock counts the padding characters as zero bytes.
  if (!aText.empty() && aText.back() == '=') --len;
  if (aText.size() > 1 && aText[aText.size() - 2] == '=') --len;
  out.resize(len);
  return out;
}
