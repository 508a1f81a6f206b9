// quarv-flash --list on Linux: adapters by their /dev names, each with its stable by-id links.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "serial/serial.h"

namespace {

std::string listing(const std::string& devices, const std::string& by_id) {
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  serial_list_in(out, devices.c_str(), by_id.c_str());
  fclose(out);
  std::string result(text, size);
  free(text);
  return result;
}

TEST(SerialList, NamesEachAdapterWithItsStableLinks) {
  char work[] = "/tmp/serial-list-XXXXXX";
  ASSERT_NE(mkdtemp(work), nullptr);
  std::string dev = work;
  std::string by_id = dev + "/by-id";
  ASSERT_EQ(mkdir(by_id.c_str(), 0700), 0);
  for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "null"})
    fclose(fopen((dev + "/" + name).c_str(), "w"));
  ASSERT_EQ(symlink("../ttyUSB2", (by_id + "/usb-Maker_Cable_A1-if00-port0").c_str()), 0);
  ASSERT_EQ(symlink("../ttyUSB2", (by_id + "/usb-Maker_Cable_A1-if01").c_str()), 0);
  ASSERT_EQ(symlink("../ttyACM0", (by_id + "/usb-Other_B2-if00").c_str()), 0);
  ASSERT_EQ(symlink("../gone", (by_id + "/usb-Dangling").c_str()), 0);
  EXPECT_EQ(listing(dev, by_id),
            dev + "/ttyACM0  " + by_id + "/usb-Other_B2-if00\n" +  //
                dev + "/ttyUSB2  " + by_id + "/usb-Maker_Cable_A1-if00-port0  " + by_id +
                "/usb-Maker_Cable_A1-if01\n" +  //
                dev + "/ttyUSB10\n");
  // Without a by-id directory (no adapter ever plugged in), the names alone.
  EXPECT_EQ(listing(dev, dev + "/none"),
            dev + "/ttyACM0\n" + dev + "/ttyUSB2\n" + dev + "/ttyUSB10\n");
  std::string clean = "rm -rf " + dev;
  EXPECT_EQ(system(clean.c_str()), 0);
}

}  // namespace
