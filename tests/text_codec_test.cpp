#include "quillkit/platform/text_codec.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quillkit::platform {
namespace {

TEST(EncodeTest, ConvertsWholeTextOrNothing) {
  const struct {
    std::string text;
    Encoding encoding;
    std::optional<std::string> expected;  // nothing: the conversion must fail
  } cases[] = {{"", Encoding::gb18030, ""},
               {"\xf0\x9f\x98\x80", Encoding::gb18030, "\x94\x39\xfc\x36"},  // an emoji: four bytes
               {"A\xc3\xa9", Encoding::mac_roman, "A\x8e"},
               // Invalid UTF-8: a code beyond Unicode.
               {"\xf4\x90\x80\x80", Encoding::utf8, std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "case " << &c - cases);
    const auto bytes = encode(c.text, c.encoding);
    EXPECT_EQ(bytes ? std::optional(std::string(bytes->begin(), bytes->end())) : std::nullopt,
              c.expected);
  }
  // A long text grows the output buffer.
  std::string text;
  for (int i = 0; i < 10000; ++i) text += "\xe4\xb8\xad";
  EXPECT_EQ(encode(text, Encoding::gb18030).value_or(Bytes()).size(), 20000u);
}

}  // namespace
}  // namespace quillkit::platform
