// qyn-test-labels: unit
//
// The windows' integer conversion: what reads as an integer, and the message that names a text
// that does not or that lies beyond the field's range.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qynBase_Convert.h"
#include "qynMessages.h"

namespace {

TEST(BaseConvert, StrToIntReadsDecimalsWithBlanksAndSign) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"0", 0}, {"3478", 3478}, {" 42 ", 42}, {"\t7\n", 7}, {"+5", 5}, {"-12", -12}, {"2147483647", 2147483647},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(StrToInt(text), value) << text;
}

TEST(BaseConvert, TextThatIsNoIntegerNamesItself) {
  for (const std::string text : {"", " ", "80a", "a80", "8 0", "0x10", "1.5", "2147483648", "-2147483649", "+", "++1", "+-5", "-+5"}) {
    try {
      StrToInt(text);
      ADD_FAILURE() << "no error for '" << text << "'";
    } catch (const EConvertError& E) {
      EXPECT_EQ(E.Message(), "'" + text + "' is not a valid integer value");
    }
  }
}

TEST(BaseConvert, ValuesBeyondTheRangeAreRefusedNotCut) {
  EXPECT_EQ(StrToPort("65535"), 65535);
  EXPECT_EQ(StrToPort("0"), 0);
  EXPECT_THROW(StrToPort("65536"), EConvertError);
  EXPECT_THROW(StrToPort("-1"), EConvertError);
  try {
    StrToPort("70000");
    ADD_FAILURE();
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(), "'70000' is not a valid port number (0 - 65535)");
  }
  EXPECT_EQ(StrToIntIn("16384", 0, 65535, RS_InvalidChannelNumber), 16384);
  EXPECT_THROW(StrToIntIn("-1", 0, 65535, RS_InvalidChannelNumber), EConvertError);
}

} // namespace
