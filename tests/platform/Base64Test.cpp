#include "platform/Base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <optional>
#include <string>

namespace {

// What the one-pass decoder gives for a text: the bytes, or nothing when it refused it.
std::optional<std::string> decode_blocks(std::string_view text) {
  std::string bytes;
  size_t size = 0;
  const bool whole = norvane::TBase64Blocks::Decode(text, [&](std::string_view piece) {
    bytes.append(piece);
    return true;
  }, size);
  if (size != bytes.size()) ADD_FAILURE() << "size " << size << " for " << bytes.size() << " bytes";
  if (!whole) return std::nullopt;
  return bytes;
}

}  // namespace

TEST(Base64Blocks, PaddingAndBlanksAnywhereButInsideTheRules) {
  struct Case {
    const char* text;
    std::optional<std::string> bytes;
  } cases[] = {
      {"", ""},
      {" \r\n ", ""},
      {"TWFu", "Man"},
      {"TWE=", "Ma"},
      {"TQ==", "M"},
      {"TQ= =", "M"},
      {"T\r\nW E\n=", "Ma"},
      {"TQ==\r\n  ", "M"},
      {"TWFuTWFu", "ManMan"},
      {"TR==", "M"},  // bits past the last byte are not looked at
      {"TWF", std::nullopt},
      {"TWFuT", std::nullopt},
      {"TQ=", std::nullopt},
      {"T===", std::nullopt},
      {"====", std::nullopt},
      {"=TWF", std::nullopt},
      {"TWFu=", std::nullopt},
      {"TQ===", std::nullopt},
      {"TQ==TWFu", std::nullopt},
      {"TW=u", std::nullopt},
      {"TWFu\t", std::nullopt},
      {"TW-u", std::nullopt},
      {"TWFu\xC3\xA9", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(decode_blocks(c.text), c.bytes) << '"' << c.text << '"';
}

TEST(Base64Blocks, ALongTextDecodesAcrossItsPiecesLikeAShortOne) {
  // Every byte value, many times over: well past one piece, with line breaks every 76
  // characters as mail encoders put them, and the padding at the very end.
  std::string bytes;
  for (int i = 0; bytes.size() < 200 * 1024 + 2; ++i) bytes += static_cast<char>(i * 31 + i / 256);
  std::string plain(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  plain.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(plain.data()),
                                                   reinterpret_cast<const unsigned char*>(bytes.data()),
                                                   static_cast<int>(bytes.size()))));
  ASSERT_EQ(plain.substr(plain.size() - 1), "=");
  std::string wrapped;
  for (size_t at = 0; at < plain.size(); at += 76) wrapped += plain.substr(at, 76) + "\r\n";
  EXPECT_EQ(decode_blocks(plain), bytes);
  EXPECT_EQ(decode_blocks(wrapped), bytes);
  // A stranger deep inside refuses the whole.
  wrapped[wrapped.size() / 2 + 1] = '*';
  EXPECT_EQ(decode_blocks(wrapped), std::nullopt);
}
