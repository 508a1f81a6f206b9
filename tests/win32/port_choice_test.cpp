#include <gtest/gtest.h>
#include <windows.h>

#include <utility>

#include "diag/status_record.h"
#include "serial/port_w32.h"
#include "ui/app.h"

namespace {

// Whatever is typed reaches CreateFileA only as \\.\comN: other text could name a file or pipe.
TEST(ComPortPath, TypedNames) {
  const std::pair<const char*, const char*> accepted[] = {{"COM12", "\\\\.\\com12"},
                                                          {"\\\\.\\COM12", "\\\\.\\com12"},
                                                          {"  Com3 ", "\\\\.\\com3"},
                                                          {"COM998", "\\\\.\\com998"}};
  for (auto [typed, path] : accepted) {
    char got[PORT_PATH_SIZE] = "";
    EXPECT_TRUE(com_port_path(typed, got, sizeof got)) << typed;
    EXPECT_STREQ(got, path);
  }
  for (const char* typed : {"", "COM0", "COM012", "COM999", "COM99999999999999999999",
                            "COM12\\..\\x", "notes.txt", "\\\\.\\pipe\\com1"}) {
    char got[PORT_PATH_SIZE] = "untouched";
    EXPECT_FALSE(com_port_path(typed, got, sizeof got)) << typed;
    EXPECT_STREQ(got, "untouched");
  }
  char small[9] = "";  // room for \\.\comN and its terminator
  EXPECT_FALSE(com_port_path("COM12", small, sizeof small));
  EXPECT_TRUE(com_port_path("COM1", small, sizeof small));
  EXPECT_STREQ(small, "\\\\.\\com1");
}

// A selection counts only inside the table; past it, the typed text decides.
TEST(ChosenPort, SelectionOnlyInsideTheTable) {
  strcpy(port_table[0], "\\\\.\\com3");
  port_count = 1;
  EXPECT_EQ(chosen_port(0, "COM7"), port_table[0]);
  EXPECT_STREQ(chosen_port(1, "COM7"), "\\\\.\\com7");
  EXPECT_EQ(chosen_port(1, ""), nullptr);
}

// A handle whose comm settings cannot be read (a plain file here) must not start an update:
// its reads would have no time-outs. It is closed, so the next press can open the port again.
TEST(BeginUpdate, UnconfigurablePortIsClosedAndNotStarted) {
  char directory[MAX_PATH], file[MAX_PATH];
  ASSERT_NE(GetTempPathA(sizeof directory, directory), 0u);
  ASSERT_NE(GetTempFileNameA(directory, "qrv", 0, file), 0u);
  UpdateJob job{};
  EXPECT_FALSE(begin_update(job, file));
  EXPECT_EQ(job.port, PORT_INVALID);
  EXPECT_EQ(status_history(), std::vector<std::string>{"Could not set up the serial port"});
  HANDLE again = port_open(file);  // exclusive: succeeds only if ours was closed
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
  DeleteFileA(file);
}

}  // namespace
