#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "routing/JsonText.h"

using norvane::Json;
using norvane::JsonParseStatus;

namespace {

struct EscapeCase {
  const char* what;
  std::string text;
  const char* expected;
};

TEST(JsonWriter, EscapesEverythingOutsidePrintableAsciiWithUpperCaseHex) {
  const EscapeCase cases[] = {
      {"plain ASCII", "Cartao 123", R"("Cartao 123")"},
      {"two-byte UTF-8", "Sessão é", R"("Sess\u00E3o \u00E9")"},
      {"slash", "https://x/v1", R"("https:\/\/x\/v1")"},
      {"quote and backslash", "a\"b\\c", R"("a\"b\\c")"},
      {"control characters, no short escapes", std::string("\n\r\t\b\f\x01\x1f", 7),
       R"("\u000A\u000D\u0009\u0008\u000C\u0001\u001F")"},
      {"NUL and DEL", std::string("a\0b\x7f", 4), R"("a\u0000b\u007F")"},
      {"three-byte UTF-8", "€", R"("\u20AC")"},
      {"emoji beyond U+FFFF as a surrogate pair", "😀", R"("\uD83D\uDE00")"},
      {"broken UTF-8 byte", std::string("a\xC3", 2), R"("a\uFFFD")"},
      {"encoded surrogate is not UTF-8", std::string("\xED\xA0\x80", 3), R"("\uFFFD\uFFFD\uFFFD")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(norvane::write_json(Json(c.text)), c.expected) << c.what;
  }
}

TEST(JsonWriter, IsCompactAndKeepsInsertionOrder) {
  Json reply = Json::object();
  reply["type"] = "session";
  reply["status"] = "created";
  reply["list"] = Json::array({1, -2, 3.5, true, false, nullptr});
  reply["empty"] = Json::object();
  reply["a/b"] = 18446744073709551615ull;
  EXPECT_EQ(norvane::write_json(reply),
            R"({"type":"session","status":"created","list":[1,-2,3.5,true,false,null],"empty":{},"a\/b":18446744073709551615})");
}

TEST(JsonWriter, OutputReadsBackAsTheSameDocument) {
  const std::string text = R"({"z":1,"a":["é","😀","/",0.1,1e300,-0],"m":{"k":"\u0001"}})";
  const auto parsed = norvane::parse_json_text(text);
  ASSERT_EQ(parsed.status, JsonParseStatus::Ok);
  const auto again = norvane::parse_json_text(norvane::write_json(parsed.value));
  ASSERT_EQ(again.status, JsonParseStatus::Ok);
  EXPECT_EQ(again.value, parsed.value);
  EXPECT_EQ(again.value.begin().key(), "z");
}

TEST(GetJsonField, GivesEachTypeAsText) {
  const auto parsed = norvane::parse_json_text(
      R"({"s":"ação","i":-12,"u":12345678901234,"f":10.5,"t":true,"n":false,"z":null,"o":{"a":"/"},"e":""})");
  ASSERT_EQ(parsed.status, JsonParseStatus::Ok);
  const struct {
    const char* name;
    const char* expected;
  } cases[] = {
      {"s", "ação"}, {"i", "-12"},     {"u", "12345678901234"}, {"f", "10.5"},         {"t", "true"},
      {"n", "false"}, {"z", ""},       {"o", R"({"a":"\/"})"},  {"e", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(GetJsonField(parsed.value, c.name), c.expected) << c.name;
}

TEST(GetJsonField, MissingMemberRaisesItsNameWithoutAccent) {
  const auto parsed = norvane::parse_json_text(R"({"Route":"/x"})");
  try {
    GetJsonField(parsed.value, "route");  // names are case-sensitive
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Campo route nao encontrado.");
  }
  EXPECT_THROW(GetJsonField(Json::array({1}), "route"), std::runtime_error);
}

TEST(BuildErrorReply, TypeThenMessage) {
  EXPECT_EQ(BuildErrorReply("Sessão inválida."), R"({"type":"error","message":"Sess\u00E3o inv\u00E1lida."})");
}

TEST(JsonParser, SortsHostileTextIntoOkNotJsonOrRefused) {
  const struct {
    const char* what;
    std::string text;
    JsonParseStatus expected;
  } cases[] = {
      {"a plain word", "hello", JsonParseStatus::NotJson},
      {"trailing garbage", R"({"a":1} x)", JsonParseStatus::NotJson},
      {"empty text", "", JsonParseStatus::NotJson},
      {"broken UTF-8 inside a string", "{\"a\":\"\xC3\"}", JsonParseStatus::NotJson},
      {"nesting at the bound", std::string(norvane::kMaxJsonDepth, '[') + std::string(norvane::kMaxJsonDepth, ']'),
       JsonParseStatus::Ok},
      {"nesting ten thousand deep", std::string(10000, '[') + std::string(10000, ']'), JsonParseStatus::Refused},
      {"objects ten thousand deep", [] {
         std::string t;
         for (int i = 0; i < 10000; ++i) t += "{\"a\":";
         return t + "1" + std::string(10000, '}');
       }(),
       JsonParseStatus::Refused},
      {"number beyond double", R"({"n":1e999})", JsonParseStatus::Refused},
      {"values at the bound", [] {
         std::string t = "[0";  // the array itself is one value
         for (std::size_t i = 2; i < norvane::kMaxJsonValues; ++i) t += ",0";
         return t + "]";
       }(),
       JsonParseStatus::Ok},
      {"one value beyond the bound", [] {
         std::string t = "[0";
         for (std::size_t i = 1; i < norvane::kMaxJsonValues; ++i) t += ",0";
         return t + "]";
       }(),
       JsonParseStatus::Refused},
      {"integer beyond 64 bits becomes a double", R"({"n":123456789012345678901234567890})", JsonParseStatus::Ok},
      {"number too small for a double is zero", R"({"n":1e-999})", JsonParseStatus::Ok},
      {"byte order mark before the text", "\xEF\xBB\xBF{\"a\":1}", JsonParseStatus::Ok},
      {"blanks around and between tokens", " \t\r\n{ \"a\" : [ 1 , 2 ] } \n", JsonParseStatus::Ok},
      {"leading zero", "[01]", JsonParseStatus::NotJson},
      {"point without digits", "[1.]", JsonParseStatus::NotJson},
      {"exponent without digits", "[1e+]", JsonParseStatus::NotJson},
      {"plus sign", "[+1]", JsonParseStatus::NotJson},
      {"trailing comma", "[1,]", JsonParseStatus::NotJson},
      {"member without colon", R"({"a" 1})", JsonParseStatus::NotJson},
      {"member name not a string", "{a:1}", JsonParseStatus::NotJson},
      {"unclosed string", R"(["abc)", JsonParseStatus::NotJson},
      {"raw control character in a string", "[\"a\tb\"]", JsonParseStatus::NotJson},
      {"unknown escape", R"(["\x41"])", JsonParseStatus::NotJson},
      {"short \\u escape", R"(["\u12"])", JsonParseStatus::NotJson},
      {"high surrogate alone", R"(["\uD83D"])", JsonParseStatus::NotJson},
      {"high surrogate before another character", R"(["\uD83D\u0041"])", JsonParseStatus::NotJson},
      {"low surrogate alone", R"(["\uDE00"])", JsonParseStatus::NotJson},
      {"misspelt literal", "[tru]", JsonParseStatus::NotJson},
      {"two texts", "{} {}", JsonParseStatus::NotJson},
      {"unclosed array", "[1", JsonParseStatus::NotJson},
      {"mismatched brackets", "[1}", JsonParseStatus::NotJson},
  };
  for (const auto& c : cases) EXPECT_EQ(norvane::parse_json_text(c.text).status, c.expected) << c.what;
}

TEST(JsonParser, ReadsEscapesAndNumbersAsTheirValues) {
  const auto parsed = norvane::parse_json_text(
      R"({"s":"a\"\\\/\b\f\n\r\t\u00e9\u20AC\uD83D\uDE00\u0000z","plain":"ação €","u":18446744073709551615,)"
      R"("i":-9223372036854775808,"z":0,"m":-0,"big":18446744073709551616,"f":-1.5E+2,"t":true,"n":null})");
  ASSERT_EQ(parsed.status, JsonParseStatus::Ok);
  const Json& v = parsed.value;
  EXPECT_EQ(v["s"].get<std::string>(), std::string("a\"\\/\b\f\n\r\t\u00e9\u20ac\U0001F600\0z", 20));
  EXPECT_EQ(v["plain"].get<std::string>(), "ação €");
  EXPECT_TRUE(v["u"].is_number_unsigned());
  EXPECT_EQ(v["u"].get<std::uint64_t>(), 18446744073709551615ull);
  EXPECT_TRUE(v["i"].is_number_integer() && !v["i"].is_number_unsigned());
  EXPECT_EQ(v["i"].get<std::int64_t>(), INT64_MIN);
  EXPECT_TRUE(v["z"].is_number_unsigned());
  EXPECT_TRUE(v["m"].is_number_integer() && !v["m"].is_number_unsigned());
  EXPECT_TRUE(v["big"].is_number_float());
  EXPECT_DOUBLE_EQ(v["big"].get<double>(), 18446744073709551616.0);
  EXPECT_DOUBLE_EQ(v["f"].get<double>(), -150.0);
  EXPECT_TRUE(v["t"].get<bool>());
  EXPECT_TRUE(v["n"].is_null());
}

TEST(JsonParser, FirstOfDuplicateMembersCounts) {
  const auto parsed = norvane::parse_json_text(R"({"route":"/version","x":{"route":1},"route":{"deep":[1,{"a":2}]},"y":2})");
  ASSERT_EQ(parsed.status, JsonParseStatus::Ok);
  EXPECT_EQ(norvane::write_json(parsed.value), R"({"route":"\/version","x":{"route":1},"y":2})");
}

// Two hundred thousand members all kept, in their order. (A builder that looks each new
// member up one by one in the ordered map, as nlohmann's own does, would take hours here;
// its speed is no assertion of this test.)
TEST(JsonParser, ManyMembersAreAllKeptInTheirOrder) {
  constexpr int kMembers = 200000;
  std::string text = "{";
  for (int i = 0; i < kMembers; ++i) text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
  text += "}";
  const auto parsed = norvane::parse_json_text(text);
  ASSERT_EQ(parsed.status, JsonParseStatus::Ok);
  ASSERT_EQ(parsed.value.size(), static_cast<std::size_t>(kMembers));
  int i = 0;
  for (const auto& [name, value] : parsed.value.items()) {
    ASSERT_EQ(name, "k" + std::to_string(i)) << i;
    ASSERT_EQ(value, i) << i;
    ++i;
  }
}

}  // namespace

namespace {

// A "/print" document is read without its base64 copied into the tree; what that reader
// gives must be exactly what the tree reader gives, or nothing (the router then uses the
// tree reader).
TEST(JsonViewingMember, GivesTheTreeReadersValueOrNothing) {
  const struct {
    const char* what;
    std::string text;
    bool viewed;
  } cases[] = {
      {"plain base64", R"({"route":"/print","type":"print","data":"QUJD","file_type":"pdf"})", true},
      {"data-URL prefix", R"({"data":"data:application/pdf;base64,QUJD"})", true},
      {"first of duplicate members", R"({"data":"QUJD","data":"RUZH"})", true},
      {"after nested look-alikes", R"({"a":{"data":"x"},"b":[1,"\"data\""],"data":"QUJD"})", true},
      {"an empty value", R"({"data":""})", true},
      {"an escape in the value", R"({"data":"QU\/JD"})", false},
      {"a control character in the value", "{\"data\":\"QU\tJD\"}", false},
      {"non-ASCII in the value", "{\"data\":\"Q\xC3\xA9\"}", false},
      {"a value that is not a string", R"({"data":12})", false},
      {"an escaped name before it", R"({"d\u0061ta":"QUJD","data":"RUZH"})", false},
      {"no such member", R"({"route":"/print"})", false},
      {"not an object", R"(["data","QUJD"])", false},
      {"broken after the member", R"({"data":"QUJD","x":[1,})", false},
      {"a number beyond double after it", R"({"data":"QUJD","n":1e999})", false},
      {"nested beyond the bound after it",
       "{\"data\":\"QUJD\",\"x\":" + std::string(200, '[') + std::string(200, ']') + "}", false},
      {"beyond the size bound", "{\"data\":\"" + std::string(norvane::kMaxJsonText, 'Q') + "\"}", false},
      {"a text of many tiny values (the scan's index would outgrow it)",
       "{\"data\":\"QUJD\",\"a\":[0" + [] {
         std::string t;
         for (int i = 0; i < 100000; ++i) t += ",0";
         return t;
       }() + "]}",
       false},
  };
  for (const auto& c : cases) {
    for (const bool room_after : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (room_after ? ", room after the text" : ""));
      std::string text;
      if (room_after) text.reserve(c.text.size() + 64);
      text.assign(c.text);
      const auto viewed = norvane::parse_json_viewing_member(text, "data");
      ASSERT_EQ(viewed.has_value(), c.viewed);
      if (!viewed) continue;
      const norvane::JsonParseResult whole = norvane::parse_json_text(text);
      ASSERT_EQ(whole.status, JsonParseStatus::Ok);
      EXPECT_EQ(std::string(viewed->member), whole.value.at("data").get<std::string>());
      Json rest = whole.value;
      rest["data"] = "";
      EXPECT_EQ(viewed->message, rest);
      EXPECT_TRUE(viewed->member.data() >= text.data() &&
                  viewed->member.data() + viewed->member.size() <= text.data() + text.size())
          << "the member is viewed in the text itself";
    }
  }
}

}  // namespace
