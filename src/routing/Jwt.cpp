#include "routing/Jwt.h"

#include <array>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/params.h>

namespace norvane {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<signed char, 256> make_decode_table() {
  std::array<signed char, 256> table{};
  for (auto& entry : table) entry = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  return table;
}
constexpr std::array<signed char, 256> kDecode = make_decode_table();

const EVP_MD* hmac_digest_for(const Json& alg) {
  if (!alg.is_string()) return nullptr;
  const auto& name = alg.get_ref<const std::string&>();
  if (name == "HS256") return EVP_sha256();
  if (name == "HS384") return EVP_sha384();
  if (name == "HS512") return EVP_sha512();
  return nullptr;  // "none", RS256, ES256 and anything else: never accepted
}

// OpenSSL's one-shot HMAC looks the algorithm up and sets the key up again on every call,
// which costs more than signing a token. The keyed context of the last key and digest is
// kept instead, one per thread, and started over for each message.
class TKeyedHmac {
 public:
  TKeyedHmac() : mac_(EVP_MAC_fetch(nullptr, "HMAC", nullptr)) {}
  ~TKeyedHmac() {
    EVP_MAC_CTX_free(context_);
    EVP_MAC_free(mac_);
    OPENSSL_cleanse(key_.data(), key_.size());
  }
  TKeyedHmac(const TKeyedHmac&) = delete;
  TKeyedHmac& operator=(const TKeyedHmac&) = delete;

  // False when OpenSSL cannot do it.
  bool Sign(const EVP_MD* digest, std::string_view key, std::string_view data, unsigned char* mac,
            size_t& mac_length) {
    if (mac_ == nullptr || !start(digest, key)) return false;
    return EVP_MAC_update(context_, reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1 &&
           EVP_MAC_final(context_, mac, &mac_length, EVP_MAX_MD_SIZE) == 1;
  }

 private:
  bool start(const EVP_MD* digest, std::string_view key) {
    if (context_ != nullptr && digest == digest_ && key == key_) return EVP_MAC_init(context_, nullptr, 0, nullptr) == 1;
    EVP_MAC_CTX_free(context_);
    OPENSSL_cleanse(key_.data(), key_.size());
    key_.clear();
    digest_ = nullptr;
    context_ = EVP_MAC_CTX_new(mac_);
    if (context_ == nullptr) return false;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string("digest", const_cast<char*>(EVP_MD_get0_name(digest)), 0),
        OSSL_PARAM_construct_end()};
    if (EVP_MAC_init(context_, reinterpret_cast<const unsigned char*>(key.data()), key.size(), params) != 1) {
      EVP_MAC_CTX_free(context_);
      context_ = nullptr;
      return false;
    }
    key_.assign(key);
    digest_ = digest;
    return true;
  }

  EVP_MAC* mac_;
  EVP_MAC_CTX* context_ = nullptr;
  const EVP_MD* digest_ = nullptr;
  std::string key_;
};

std::string hmac(const EVP_MD* digest, std::string_view key, std::string_view data) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  if (!key.empty()) {
    thread_local TKeyedHmac keyed;
    size_t mac_length = 0;
    if (keyed.Sign(digest, key, data, mac, mac_length)) return std::string(reinterpret_cast<const char*>(mac), mac_length);
  }
  unsigned int mac_length = 0;
  if (HMAC(digest, key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac, &mac_length) == nullptr) {
    throw std::runtime_error("HMAC indisponível.");
  }
  return std::string(reinterpret_cast<const char*>(mac), mac_length);
}

Json decode_object_part(std::string_view part) {
  std::string text;
  if (!base64url_decode(part, text)) throw EJwtUnverified("Parte do token não decodificável.");
  JsonParseResult parsed = parse_json_text(text);
  if (parsed.status != JsonParseStatus::Ok || !parsed.value.is_object()) {
    throw EJwtUnverified("Parte do token não é um objeto JSON.");
  }
  return std::move(parsed.value);
}

}  // namespace

std::string base64url_encode(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() * 4 + 2) / 3);
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned group = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += kAlphabet[(group >> 6) & 63];
    text += kAlphabet[group & 63];
  }
  const std::size_t left = bytes.size() - i;
  if (left == 1) {
    const unsigned group = data[i] << 16;
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
  } else if (left == 2) {
    const unsigned group = (data[i] << 16) | (data[i + 1] << 8);
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += kAlphabet[(group >> 6) & 63];
  }
  return text;
}

bool base64url_decode(std::string_view text, std::string& bytes) {
  bytes.clear();
  if (text.size() % 4 == 1) return false;
  // Sized once and written in place: four characters make three bytes, and what is left
  // (two or three characters) makes one or two.
  bytes.resize(text.size() / 4 * 3 + (text.size() % 4 == 0 ? 0 : text.size() % 4 - 1));
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  char* out = bytes.data();
  const std::size_t whole = text.size() / 4 * 4;
  for (std::size_t i = 0; i < whole; i += 4) {
    const int a = kDecode[in[i]], b = kDecode[in[i + 1]], c = kDecode[in[i + 2]], d = kDecode[in[i + 3]];
    if ((a | b | c | d) < 0) return false;
    const unsigned group = (static_cast<unsigned>(a) << 18) | (static_cast<unsigned>(b) << 12) |
                           (static_cast<unsigned>(c) << 6) | static_cast<unsigned>(d);
    *out++ = static_cast<char>(group >> 16);
    *out++ = static_cast<char>((group >> 8) & 0xFF);
    *out++ = static_cast<char>(group & 0xFF);
  }
  unsigned buffer = 0;
  int bits = 0;
  for (std::size_t i = whole; i < text.size(); ++i) {
    const int value = kDecode[in[i]];
    if (value < 0) return false;
    buffer = (buffer << 6) | static_cast<unsigned>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      *out++ = static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  // Leftover bits must be zero, or two different texts would decode to the same bytes.
  return (buffer & ((1u << bits) - 1)) == 0;
}

}  // namespace norvane

norvane::Json VerifyJWT(std::string_view token, std::string_view secret) {
  using namespace norvane;
  if (token.size() > kMaxTokenLength) throw EJwtUnverified("Token longo demais.");

  const std::size_t first_dot = token.find('.');
  const std::size_t second_dot = first_dot == std::string_view::npos ? first_dot : token.find('.', first_dot + 1);
  if (second_dot == std::string_view::npos || token.find('.', second_dot + 1) != std::string_view::npos) {
    throw EJwtNotCompact("Token inválido: o token deve ter três partes separadas por ponto.");
  }
  const std::string_view header_part = token.substr(0, first_dot);
  const std::string_view payload_part = token.substr(first_dot + 1, second_dot - first_dot - 1);
  const std::string_view signature_part = token.substr(second_dot + 1);

  const Json header = decode_object_part(header_part);
  const auto alg = header.find("alg");
  const EVP_MD* digest = alg == header.end() ? nullptr : hmac_digest_for(*alg);
  if (digest == nullptr) throw EJwtUnverified("Algoritmo do token não aceito.");

  std::string signature;
  if (!base64url_decode(signature_part, signature)) throw EJwtUnverified("Assinatura não decodificável.");
  const std::string expected = hmac(digest, secret, token.substr(0, second_dot));
  if (signature.size() != expected.size() ||
      CRYPTO_memcmp(signature.data(), expected.data(), expected.size()) != 0) {
    throw EJwtUnverified("Assinatura do token inválida.");
  }
  return decode_object_part(payload_part);
}

bool TokenTimesValid(const norvane::Json& claims, std::int64_t now_seconds) {
  const double now = static_cast<double>(now_seconds);
  const auto exp = claims.find("exp");
  if (exp != claims.end() && (!exp->is_number() || now > exp->get<double>() + kTokenLeewaySeconds)) return false;
  const auto nbf = claims.find("nbf");
  if (nbf != claims.end() && (!nbf->is_number() || now + kTokenLeewaySeconds < nbf->get<double>())) return false;
  return true;
}

std::string GenerateJWT(const std::string& SecretKey, const norvane::Json& Claims) {
  using namespace norvane;
  Json header = Json::object();
  header["typ"] = "JWT";
  header["alg"] = "HS384";
  const std::string claims_text = Claims.is_null() ? std::string("{}") : write_json(Claims);
  std::string token = base64url_encode(write_json(header));
  token += '.';
  token += base64url_encode(claims_text);
  const std::string signature = hmac(EVP_sha384(), SecretKey, token);
  token += '.';
  token += base64url_encode(signature);
  return token;
}
