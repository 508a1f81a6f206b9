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

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(FatalText, CodeZeroHasNoNumberLine) {
  EXPECT_EQ(built("Could not create dialog", 0),
            heading + "          Could not create dialog\n" + closing);
}

TEST(FatalText, CommonCodeGetsNumberAndSystemText) {
  std::string text = built("Unable to open serial port. In use already, or not present", 2);
  std::string about = description(2);
  ASSERT_FALSE(about.empty());
  EXPECT_EQ(text, heading +
                      "          Unable to open serial port. In use already, or not present\n" +
                      "Error number 2 reported\n" + about + closing);
}

TEST(FatalText, InsertInSystemTextIsKeptAsWritten) {
  std::string about = description(ERROR_BAD_EXE_FORMAT);
  ASSERT_NE(about.find("%1"), std::string::npos) << about;
  EXPECT_EQ(built("Could not create dialog", ERROR_BAD_EXE_FORMAT),
            heading + "          Could not create dialog\n" + "Error number 193 reported\n" +
                about + closing);
}

// The description goes in whole or not at all, and the closing line always fits.
TEST(FatalText, LongTextStaysWithinItsBytes) {
  const std::string about = description(2);
  const std::string number = "Error number 2 reported\n";
  // Lengths of the message that leave exactly enough room for the description, then one short.
  const size_t fixed = heading.size() + 10 + 1 + number.size() + about.size() + closing.size();
  const size_t exact = FATAL_TEXT_SIZE - 1 - fixed;
  struct Case {
    size_t message_length;
    bool description_shown;
  } cases[] = {{exact, true},
               {exact + 1, false},
               {FATAL_TEXT_SIZE - 100, false},
               {3 * FATAL_TEXT_SIZE, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message_length);
    std::string text = built(std::string(c.message_length, 'm'), 2);
    EXPECT_LE(text.size(), FATAL_TEXT_SIZE - 1);
    EXPECT_TRUE(ends_with(text, closing));
    EXPECT_EQ(text.find(about) != std::string::npos, c.description_shown);
    EXPECT_EQ(text.compare(0, heading.size(), heading), 0);
  }
  EXPECT_EQ(built(std::string(exact, 'm'), 2).size(), FATAL_TEXT_SIZE - 1);
}

}  // namespace
