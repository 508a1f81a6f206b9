#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "diag/fatal.h"

namespace {

std::string description(uint32_t code) {
  char text[FATAL_TEXT_SIZE] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                 sizeof text, nullptr);
  return text;
}

// No number line for code 0; a system text with an insert (193's %1) comes through as written;
// a description that does not fit is left out whole; the closing line always ends the text.
TEST(FatalText, HeadingMessageNumberDescriptionClosing) {
  const std::string heading = "\n\nAn Error has occurred as follows:\n          ";
  const std::string closing = "\n\n The program will now abort\n\n\n";
  const std::string about_193 = description(ERROR_BAD_EXE_FORMAT);
  ASSERT_NE(about_193.find("%1"), std::string::npos);
  const std::string number_2 = "\nError number 2 reported\n", with_2 = number_2 + description(2);
  // The longest message that leaves room for code 2's description, and one byte longer.
  const size_t room = FATAL_TEXT_SIZE - 1 - heading.size() - closing.size();
  const std::string fits(room - with_2.size(), 'm'), over = fits + "m";
  struct Case {
    std::string message;
    uint32_t code;
    std::string middle;
  } cases[] = {{"Could not create dialog", 0, "Could not create dialog\n"},
               {"Could not create dialog", ERROR_BAD_EXE_FORMAT,
                "Could not create dialog\nError number 193 reported\n" + about_193},
               {fits, 2, fits + with_2},
               {over, 2, over + number_2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.middle.substr(0, 30));
    char text[FATAL_TEXT_SIZE];
    memset(text, 'x', sizeof text);
    fatal_text(text, sizeof text, c.message.c_str(), c.code);
    EXPECT_EQ(text, heading + c.middle + closing);
  }
}

}  // namespace
