#include <gtest/gtest.h>
#include <windows.h>

#include "diag/status_record.h"
#include "serial/port_w32.h"
#include "ui/app.h"

namespace {

// Whatever is typed reaches CreateFileA only as \\.\comN: other text could name a file or pipe.
TEST(ComPortPath, TypedNames) {
  struct Case {
    const char* typed;
    const char* path;  // null: not a COM port name
  } cases[] = {{"COM12", "\\\\.\\com12"},
               {"\\\\.\\COM12", "\\\\.\\com12"},
               {"  Com3 ", "\\\\.\\com3"},
               {"COM998", "\\\\.\\com998"},
               {"", nullptr},
               {"COM0", nullptr},
               {"COM012", nullptr},
               {"COM999", nullptr},
               {"COM99999999999999999999", nullptr},
               {"COM12\\..\\x", nullptr},
               {"notes.txt", nullptr},
               {"\\\\.\\pipe\\com1", nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    char path[PORT_PATH_SIZE] = "untouched";
    EXPECT_EQ(com_port_path(c.typed, path, sizeof path), c.path != nullptr);
    EXPECT_STREQ(path, c.path ? c.path : "untouched");
  }
  char small[9] = "";  // room for \\.\comN and its terminator
  EXPECT_FALSE(com_port_path("COM12", small, sizeof small));
  EXPECT_STREQ(small, "");
  EXPECT_TRUE(com_port_path("COM1", small, sizeof small));
  EXPECT_STREQ(small, "\\\\.\\com1");
}

// A selection only counts inside the table; without one, only a typed COM port name does.
TEST(ChosenPort, SelectionThenTypedComPortThenNothing) {
  strcpy(port_table[0], "\\\\.\\com3");
  strcpy(port_table[1], "\\\\.\\com12");
  port_count = 2;
  EXPECT_EQ(chosen_port(1, "COM7"), port_table[1]);
  EXPECT_EQ(chosen_port(0, ""), port_table[0]);
  EXPECT_STREQ(chosen_port(-1, "COM7"), "\\\\.\\com7");
  EXPECT_EQ(chosen_port(-1, ""), nullptr);
  EXPECT_EQ(chosen_port(2, ""), nullptr);
  port_count = 0;
  EXPECT_STREQ(chosen_port(-1, "\\\\.\\COM12"), "\\\\.\\com12");
  EXPECT_EQ(chosen_port(0, "anything"), nullptr);
}

// A handle whose comm settings cannot be read must not start an update: its reads would
// have no time-outs. Plain files and NUL stand in for such a port.
TEST(BeginUpdate, UnconfigurablePortIsClosedAndNotStarted) {
  char directory[MAX_PATH], file[MAX_PATH];
  ASSERT_NE(GetTempPathA(sizeof directory, directory), 0u);
  ASSERT_NE(GetTempFileNameA(directory, "qrv", 0, file), 0u);
  for (const char* path : {static_cast<const char*>(file), "NUL"}) {
    SCOPED_TRACE(path);
    UpdateJob job{};
    job.state = Failed;
    status_history_clear();
    EXPECT_FALSE(begin_update(job, path));
    EXPECT_EQ(job.port, PORT_INVALID);
    EXPECT_EQ(job.state, static_cast<uint32_t>(Failed));
    ASSERT_FALSE(status_history().empty());
    EXPECT_EQ(status_history().back(), "Could not set up the serial port");
  }
  // Opened without sharing, so a second exclusive open succeeds only if ours was closed.
  HANDLE again = CreateFileA(file, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
  DeleteFileA(file);
}

}  // namespace
