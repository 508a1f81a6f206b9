// quarv-flash --list on Linux: adapters by their /dev names, each with its stable by-id links.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "serial/serial.h"

TEST(SerialList, NamesEachAdapterWithItsStableLinks) {
  char work[] = "/tmp/serial-list-XXXXXX";
  ASSERT_NE(mkdtemp(work), nullptr);
  std::string dev = work, by_id = dev + "/by-id";
  mkdir(by_id.c_str(), 0700);
  for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "null"})
    fclose(fopen((dev + "/" + name).c_str(), "w"));
  for (const char* link : {"usb-A1-if01", "usb-A1-if00-port0"})
    symlink("../ttyUSB2", (by_id + "/" + link).c_str());
  symlink("../gone", (by_id + "/usb-Dangling").c_str());
  FILE* listing = tmpfile();
  serial_list_in(listing, work, by_id.c_str());
  rewind(listing);
  char text[1024] = "";
  text[fread(text, 1, sizeof text - 1, listing)] = '\0';
  EXPECT_EQ(text, dev + "/ttyACM0\n" + dev + "/ttyUSB2  " + by_id + "/usb-A1-if00-port0  " + by_id +
                      "/usb-A1-if01\n" + dev + "/ttyUSB10\n");
}
