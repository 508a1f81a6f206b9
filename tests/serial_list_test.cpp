// What quarv-flash knows of each port: Linux sysfs trees of the test's own in place of /dev and
// /sys, the ids Windows gives devices, and --match over both.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "cli/flash.h"
#include "loader/shown_text.h"

namespace {

struct Usb {
  const char* path;  // below sys/devices
  const char *vid, *pid, *serial, *maker, *product;
};

// A USB serial converter with a serial number and a by-id link; a CDC-ACM device (its tty
// hangs off the interface); two identical adapters behind a hub, told apart by serial only; a
// port whose device link is broken; a file in /dev that is no port.
class Tree : public ::testing::Test {
 protected:
  std::string root;
  void SetUp() override {
    char work[] = "/tmp/serial-tree-XXXXXX";
    ASSERT_NE(mkdtemp(work), nullptr);
    root = work;
    const Usb devices[] = {
        {"pci0/usb1/1-1", "0403", "6001", "A50285BI", "Acme", "Serial Cable"},
        {"pci0/usb1/1-2", "1209", "000A", "E6609CB2", "Pico Works", "Board CDC"},
        {"pci0/usb1/1-3", "05e3", "0608", nullptr, "Hub Co", "USB2.0 Hub"},
        {"pci0/usb1/1-3/1-3.1", "1a86", "7523", "00012", "Qin", "USB Serial"},
        {"pci0/usb1/1-3/1-3.2", "1a86", "7523", "0002ABCDEFGHIJKLMNOPQRST", "Qin", "USB Serial"},
    };
    for (const Usb& usb : devices) {
      std::string dir = root + "/sys/devices/" + usb.path;
      make(dir);
      write(dir + "/idVendor", usb.vid);
      write(dir + "/idProduct", usb.pid);
      if (usb.serial) write(dir + "/serial", usb.serial);
      write(dir + "/manufacturer", usb.maker);
      write(dir + "/product", usb.product);
    }
    tty("ttyUSB0", "pci0/usb1/1-1/1-1:1.0/ttyUSB0");
    tty("ttyACM0", "pci0/usb1/1-2/1-2:1.0");
    tty("ttyUSB1", "pci0/usb1/1-3/1-3.1/1-3.1:1.0/ttyUSB1");
    tty("ttyUSB10", "pci0/usb1/1-3/1-3.2/1-3.2:1.0/ttyUSB10");
    tty("ttyUSB4", nullptr);
    write(root + "/dev/null", "");
    make(root + "/dev/serial/by-id");
    symlink("../../ttyUSB0",
            (root + "/dev/serial/by-id/usb-Acme_Serial_Cable_A50285BI-if00-port0").c_str());
  }
  void TearDown() override { std::filesystem::remove_all(root); }
  static void make(const std::string& dir) {
    for (size_t at = 1; at != std::string::npos; at = dir.find('/', at + 1))
      mkdir(dir.substr(0, at).c_str(), 0700);
    mkdir(dir.c_str(), 0700);
  }
  static void write(const std::string& path, const char* text) {
    std::ofstream(path) << text << "\n";
  }
  // The /dev node, and sysfs's class entry whose device link leads to the tty's parent (a
  // missing device for a broken link).
  void tty(const char* name, const char* device) {
    make(root + "/dev");
    write(root + "/dev/" + name, "");
    std::string entry = root + "/sys/class/tty/" + name;
    make(entry);
    std::string target = root + "/sys/devices/" + (device ? device : "gone/away");
    if (device) make(target);
    symlink(target.c_str(), (entry + "/device").c_str());
  }
  std::string listing(bool json) {
    std::string text;
    for (const PortInfo& port : serial_ports_in(root))
      text += (json ? port_json(port) : port_line(port)) + "\n";
    return text;
  }
};

TEST_F(Tree, ListsEachPortWithItsUsbIdentity) {
  const std::string d = root + "/dev/";
  EXPECT_EQ(listing(false),
            d + "ttyACM0  1209:000a  serial=E6609CB2  \"Pico Works\"  \"Board CDC\"\n" + d +
                "ttyUSB0  0403:6001  serial=A50285BI  \"Acme\"  \"Serial Cable\"  " + d +
                "serial/by-id/usb-Acme_Serial_Cable_A50285BI-if00-port0\n" + d +
                "ttyUSB1  1a86:7523  serial=00012  \"Qin\"  \"USB Serial\"\n" + d + "ttyUSB4\n" +
                d +
                "ttyUSB10  1a86:7523  serial=0002ABCDEFGHIJKLMNOPQRST  \"Qin\"  \"USB Serial\"\n");
  std::string json = listing(true);
  EXPECT_NE(json.find("{\"port\":\"" + d +
                      "ttyUSB4\",\"vid\":null,\"pid\":null,\"serial\":null,\"manufacturer\":null,"
                      "\"product\":null,\"description\":null,\"links\":[]}\n"),
            std::string::npos);
  EXPECT_NE(json.find("\"vid\":\"0403\",\"pid\":\"6001\",\"serial\":\"A50285BI\",\"manufacturer\":"
                      "\"Acme\",\"product\":\"Serial Cable\",\"description\":null,\"links\":[\"" +
                      d + "serial/by-id/usb-Acme_Serial_Cable_A50285BI-if00-port0\"]}"),
            std::string::npos);
}

TEST_F(Tree, MatchSelectsByIdentity) {
  struct Case {
    const char* pattern;
    std::string selected;  // the last part of each name
  } cases[] = {
      {"0403:6001", "ttyUSB0 "},
      {"1a86:7523", "ttyUSB1 ttyUSB10 "},
      {"1A86:7523:0002ABCDEFGHIJKLMNOPQRST", "ttyUSB10 "},  // 24 characters, kept whole
      {"1A86:7523:0002ABCDEFGHIJKL", ""},
      {"serial=00012", "ttyUSB1 "},
      {"serial=0001", ""},
      {"serial=000?", ""},  // one character, not two
      {"serial=000?2", "ttyUSB1 "},
      {"serial=E66*", "ttyACM0 "},
      {"vid=1a86", "ttyUSB1 ttyUSB10 "},
      {"product=board*,vid=1209", "ttyACM0 "},
      {"manufacturer=QIN,serial=000*", "ttyUSB1 ttyUSB10 "},
      {"05e3:0608", ""},  // the hub itself is no port
      {"serial=*", "ttyACM0 ttyUSB0 ttyUSB1 ttyUSB10 "},
      {"403:6001:A50285B", ""},
  };
  std::vector<PortInfo> ports = serial_ports_in(root);
  for (const Case& c : cases) {
    PortMatch match;
    std::string error;
    ASSERT_TRUE(parse_match(c.pattern, match, error)) << c.pattern << ": " << error;
    std::string selected;
    for (const PortInfo& port : ports)
      if (port_matches(match, port)) selected += port.name.substr(port.name.rfind('/') + 1) + " ";
    EXPECT_EQ(selected, c.selected) << c.pattern;
  }
}

TEST_F(Tree, EntriesThatVanishOrNeverWereAreSkipped) {
  // A device whose attributes went between the listing of /dev and their reading.
  for (const char* file : {"idVendor", "idProduct", "serial", "manufacturer", "product"})
    unlink((root + "/sys/devices/pci0/usb1/1-1/" + file).c_str());
  // An adapter gone from sysfs altogether, its /dev node still there.
  std::string entry = root + "/sys/class/tty/ttyACM0";
  unlink((entry + "/device").c_str());
  rmdir(entry.c_str());
  std::string text = listing(false);
  EXPECT_NE(text.find(root + "/dev/ttyACM0\n"), std::string::npos);
  EXPECT_NE(text.find(root + "/dev/ttyUSB0  " + root + "/dev/serial/by-id/"), std::string::npos);
}

TEST(MatchSpec, RefusedWithTheFormsAccepted) {
  for (const char* pattern : {"", "0403", "0403:", ":6001", "0403:6001:", "04031:6001", "04g3:6001",
                              "serial=", "colour=red", "vid=0403,", "vid=x", "serial"}) {
    PortMatch match;
    std::string error;
    EXPECT_FALSE(parse_match(pattern, match, error)) << pattern;
    EXPECT_NE(error.find("VID:PID, VID:PID:SERIAL, serial=SERIAL"), std::string::npos) << pattern;
  }
}

TEST(MatchSpec, PatternsTakeTimeOnlyInProportionToTheText) {
  // Backtracking over every star would take minutes on these, and a station ignores Ctrl-C
  // meanwhile.
  PortInfo port;
  port.vid = "0403", port.pid = "6001", port.name = "ttyUSB0";
  port.serial = port.product = std::string(200, 'a');
  struct Case {
    const char* pattern;
    bool matches;
  } cases[] = {
      {"serial=a*a*a*a*a*a*a*b", false},
      {"product=*a*a*a*a*a*a*a*a*c", false},
      {"serial=a*a*a*a*a*a*a*a", true},
      {"product=*A?A*", true},
      {"serial=*?", true},
      {"serial=?*b", false},
  };
  for (const Case& c : cases) {
    PortMatch match;
    std::string error;
    ASSERT_TRUE(parse_match(c.pattern, match, error)) << c.pattern;
    EXPECT_EQ(port_matches(match, port), c.matches) << c.pattern;
  }
}

TEST(MatchSpec, RepeatedKeyRefused) {
  // All terms must hold: the later one must not quietly replace the earlier.
  for (const char* pattern : {"vid=1a86,vid=0403", "serial=A,pid=6001,serial=B"}) {
    PortMatch match;
    std::string error;
    EXPECT_FALSE(parse_match(pattern, match, error)) << pattern;
    EXPECT_NE(error.find("twice"), std::string::npos) << error;
  }
}

TEST(MatchSpec, DeviceTextShownWithoutControls) {
  // What a device's strings hold must not retitle, clear or recolour the operator's terminal.
  struct Case {
    std::string text, shown;
  } cases[] = {
      {"SN\x1b]0;owned\x07\x1b[2J\x1b[31mRED", "SN?]0;owned??[2J?[31mRED"},
      {"CSI \xc2\x9b"
       "2J, NEL \xc2\x85, DEL \x7f",
       "CSI ?2J, NEL ?, DEL ?"},
      {"lone \x9b"
       "2J",
       "lone ?2J"},                // CSI to an 8-bit terminal
      {"caf\xe9", "caf\xc3\xa9"},  // Latin-1, as the log shows it
      {"\xd0\x9f\xe4\xb8\xad \xc2\xa0", "\xd0\x9f\xe4\xb8\xad \xc2\xa0"},
      {"\xe0\x80\x9b", "\xc3\xa0??"},  // an overlong ESC sequence is no sequence
  };
  for (const Case& c : cases) EXPECT_EQ(shown_text(c.text), c.shown) << c.text;
}

TEST(WindowsIds, UsbIdentityFromHardwareAndInstanceIds) {
  struct Case {
    const char* id;
    const char *vid, *pid, *serial;
  } cases[] = {
      {"USB\\VID_0403&PID_6001\\A50285BI", "0403", "6001", "A50285BI"},
      {"USB\\VID_0403&PID_6001&REV_0600", "0403", "6001", ""},
      {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "0403", "6001", "A50285BI"},
      {"FTDIBUS\\COMPORT&VID_0403&PID_6001", "0403", "6001", ""},
      {"USB\\VID_1A86&PID_7523\\5&2E5A3F0&0&2", "1a86", "7523", ""},  // made up by Windows
      {"USB\\VID_2E8A&PID_000A&MI_00\\6&1234ABCD&0&0000", "2e8a", "000a", ""},  // an interface
      {"usb\\vid_10c4&pid_ea60\\0001", "10c4", "ea60", "0001"},
      {"ACPI\\PNP0501\\1", "", "", ""},
      {"USB\\VID_12345&PID_6001\\X", "", "", "X"},
      {"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_VID&000105D6_PID&000A\\7&1", "", "", ""},
      {"USB\\VID_0403", "", "", ""},
  };
  for (const Case& c : cases) {
    PortInfo info;
    usb_ids_parse(c.id, info);
    usb_serial_parse(c.id, info);
    EXPECT_EQ(info.vid, c.vid) << c.id;
    EXPECT_EQ(info.pid, c.pid) << c.id;
    EXPECT_EQ(info.serial, c.serial) << c.id;
  }
}

}  // namespace
