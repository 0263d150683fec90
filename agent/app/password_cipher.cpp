// AES-256-GCM through OpenSSL's EVP interface. Stored text:
//   "g1:" base64(nonce[12] | ciphertext | tag[16])
// The prefix names the format so that a later cipher can live beside this one.
#include "agent/app/password_cipher.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "agent/service/site_passwords.h"

namespace hvm {

namespace {

constexpr std::string_view kPrefix = "g1:";
constexpr size_t kNonceBytes = 12;
constexpr size_t kTagBytes = 16;

// The agent's built-in key. It keeps the password out of plain sight in the
// registry file; the file's mode (0600) is what keeps other users out.
constexpr unsigned char kAgentKey[32] = {
    0x6b, 0x1f, 0xa4, 0x37, 0xd2, 0x58, 0x0e, 0x93, 0xc1, 0x7a, 0x2d, 0xe6, 0x45, 0xb8, 0x0c, 0x71,
    0x9e, 0x33, 0xf0, 0x5d, 0x82, 0x17, 0xcb, 0x64, 0x29, 0xae, 0x50, 0xd7, 0x3b, 0x96, 0x0f, 0xe2};

// Authenticated but not secret: binds the value to its purpose.
constexpr unsigned char kAssociatedData[] = "Halvenmoor site password";

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

std::string Base64(const std::vector<unsigned char>& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                               static_cast<int>(bytes.size()));
  text.resize(length > 0 ? static_cast<size_t>(length) : 0);
  return text;
}

bool FromBase64(std::string_view text, std::vector<unsigned char>& bytes) {
  if (text.empty() || text.size() % 4 != 0) return false;
  bytes.assign(text.size() / 4 * 3, 0);
  int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                               static_cast<int>(text.size()));
  if (length < 0) return false;
  // EVP_DecodeBlock counts the padding as zero bytes.
  size_t padding = 0;
  if (text.back() == '=') ++padding;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
  bytes.resize(static_cast<size_t>(length) - padding);
  return true;
}

}  // namespace

bool EncipherPassword(std::string_view password, std::string& stored) {
  stored.clear();
  if (password.size() > kCipherPasswordBytes) return false;
  std::vector<unsigned char> out(kNonceBytes + password.size() + kTagBytes);
  unsigned char* nonce = out.data();
  unsigned char* body = nonce + kNonceBytes;
  unsigned char* tag = body + password.size();
  if (RAND_bytes(nonce, kNonceBytes) != 1) return false;

  CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  int length = 0;
  if (!context ||
      EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, kAgentKey, nonce) != 1 ||
      EVP_EncryptUpdate(context.get(), nullptr, &length, kAssociatedData,
                        sizeof(kAssociatedData) - 1) != 1 ||
      EVP_EncryptUpdate(context.get(), body, &length,
                        reinterpret_cast<const unsigned char*>(password.data()),
                        static_cast<int>(password.size())) != 1 ||
      EVP_EncryptFinal_ex(context.get(), body + length, &length) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes, tag) != 1) {
    return false;
  }
  stored = std::string(kPrefix) + Base64(out);
  return stored.size() < kSettingsValueBytes;
}

bool DecipherPasswordInto(std::string_view stored, unsigned char* clear, size_t room, size_t& length) {
  length = 0;
  std::vector<unsigned char> in;
  if (clear == nullptr || stored.size() >= kSettingsValueBytes ||
      stored.substr(0, kPrefix.size()) != kPrefix || !FromBase64(stored.substr(kPrefix.size()), in) ||
      in.size() < kNonceBytes + kTagBytes || in.size() > kNonceBytes + kCipherPasswordBytes + kTagBytes ||
      in.size() - kNonceBytes - kTagBytes > room) {
    WipeMemory(clear, clear != nullptr ? room : 0);
    return false;
  }
  const size_t bodySize = in.size() - kNonceBytes - kTagBytes;
  unsigned char* nonce = in.data();
  unsigned char* body = nonce + kNonceBytes;
  unsigned char* tag = body + bodySize;

  CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  int done = 0;
  int last = 0;
  if (!context ||
      EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, kAgentKey, nonce) != 1 ||
      EVP_DecryptUpdate(context.get(), nullptr, &done, kAssociatedData,
                        sizeof(kAssociatedData) - 1) != 1 ||
      EVP_DecryptUpdate(context.get(), clear, &done, body, static_cast<int>(bodySize)) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes, tag) != 1 ||
      EVP_DecryptFinal_ex(context.get(), clear + done, &last) != 1) {
    // The tag did not match (damaged or not ours), but the clear text of the
    // body is already in clear.
    WipeMemory(clear, room);
    return false;
  }
  length = static_cast<size_t>(done + last);
  return true;
}

bool DecipherPassword(std::string_view stored, std::string& password) {
  WipeText(password);
  unsigned char clear[kCipherPasswordBytes];
  size_t length = 0;
  bool ok = DecipherPasswordInto(stored, clear, sizeof clear, length);
  if (ok) password.assign(reinterpret_cast<const char*>(clear), length);
  WipeMemory(clear, sizeof clear);
  return ok;
}

}  // namespace hvm
