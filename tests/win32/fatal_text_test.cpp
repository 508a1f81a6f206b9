#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "diag/fatal.h"

namespace {

const std::string heading = "\n\nAn Error has occurred as follows:\n";
const std::string closing = "\n\n The program will now abort\n\n\n";

std::string built(const std::string& message, uint32_t code) {
  char text[FATAL_TEXT_SIZE];
  memset(text, 'x', sizeof text);
  size_t length = fatal_text(text, sizeof text, message.c_str(), code);
  EXPECT_EQ(length, strlen(text));
  return text;
}

std::string description(uint32_t code) {
  char text[FATAL_TEXT_SIZE] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                 sizeof text, nullptr);
  return text;
}

TEST(FatalText, NumberAndSystemTextOnlyForNonZeroCodes) {
  const std::string open_failed = "Unable to open serial port. In use already, or not present";
  const std::string about_2 = description(2), about_193 = description(ERROR_BAD_EXE_FORMAT);
  ASSERT_FALSE(about_2.empty());
  ASSERT_NE(about_193.find("%1"), std::string::npos);  // an insert, to come through as written
  EXPECT_EQ(built("Could not create dialog", 0),
            heading + "          Could not create dialog\n" + closing);
  EXPECT_EQ(built(open_failed, 2), heading + "          " + open_failed +
                                       "\nError number 2 reported\n" + about_2 + closing);
  EXPECT_EQ(built("Could not create dialog", ERROR_BAD_EXE_FORMAT),
            heading + "          Could not create dialog\nError number 193 reported\n" + about_193 +
                closing);
}

// The description goes in whole or not at all, and the closing line always fits.
TEST(FatalText, LongTextStaysWithinItsBytes) {
  const std::string about = description(2);
  const std::string number = "Error number 2 reported\n";
  // Lengths of the message that leave exactly enough room for the description, then one short.
  const size_t fixed = heading.size() + 10 + 1 + number.size() + about.size() + closing.size();
  const size_t exact = FATAL_TEXT_SIZE - 1 - fixed;
  for (auto [length, shown] :
       {std::pair<size_t, bool>{exact, true}, {exact + 1, false}, {3 * FATAL_TEXT_SIZE, false}}) {
    SCOPED_TRACE(length);
    std::string text = built(std::string(length, 'm'), 2);
    EXPECT_LE(text.size(), FATAL_TEXT_SIZE - 1);
    ASSERT_GE(text.size(), heading.size() + closing.size());
    EXPECT_EQ(text.substr(text.size() - closing.size()), closing);
    EXPECT_EQ(text.find(about) != std::string::npos, shown);
    EXPECT_EQ(text.substr(0, heading.size()), heading);
  }
  EXPECT_EQ(built(std::string(exact, 'm'), 2).size(), FATAL_TEXT_SIZE - 1);
}

}  // namespace
