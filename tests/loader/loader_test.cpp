// The image loader: every format against objcopy's raw bytes of one firmware, and what it refuses.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "loader/image_load.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string hex_pairs(const Bytes& bytes) {
  std::string text;
  char pair[3];
  for (uint8_t b : bytes) {
    snprintf(pair, sizeof pair, "%02X", b);
    text += pair;
  }
  return text;
}

// One Intel HEX record with its checksum.
std::string ihex(uint8_t type, uint16_t offset, Bytes data) {
  Bytes record{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
               static_cast<uint8_t>(offset), type};
  record.insert(record.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : record) sum = static_cast<uint8_t>(sum + b);
  record.push_back(static_cast<uint8_t>(-sum));
  return ":" + hex_pairs(record) + "\n";
}

// One S-record with its checksum; the address takes as many bytes as the type says.
std::string srec(int type, uint32_t address, Bytes data) {
  static const int width[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
  Bytes record{static_cast<uint8_t>(width[type] + data.size() + 1)};
  for (int i = width[type] - 1; i >= 0; --i)
    record.push_back(static_cast<uint8_t>(address >> 8 * i));
  record.insert(record.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : record) sum = static_cast<uint8_t>(sum + b);
  record.push_back(static_cast<uint8_t>(~sum));
  return "S" + std::to_string(type) + hex_pairs(record) + "\n";
}

const std::string BASE = ihex(4, 0, {0x08, 0x00});
const std::string END = ihex(1, 0, {});

bool parse(const std::string& text, LoadedImage& image, std::string& error) {
  return image_parse("fw", reinterpret_cast<const uint8_t*>(text.data()), text.size(), image,
                     error);
}

// Each link variant in each format against objcopy's raw bytes of the same ELF; never the
// file's own headers, which ld puts in the first loadable segment for some of them.
TEST(Loader, EveryFormatGivesObjcopysRawBytes) {
  const struct {
    ImageFormat format;
    const char* suffix;
  } files[] = {
      {ImageElf, ".elf"}, {ImageIntelHex, ".hex"}, {ImageSrec, ".srec"}, {ImageRaw, ".bin"}};
  for (const char* variant : {"oracle_fw", "oracle_small_page", "oracle_headers"}) {
    const std::string base = std::string(QUARV_ORACLE_DIR "/") + variant;
    const Bytes raw = file_bytes(base + ".bin");
    ASSERT_GT(raw.size(), 0x800u) << variant;
    for (const auto& file : files) {
      LoadedImage image;
      std::string error;
      EXPECT_TRUE(image_read_file(base + file.suffix, image, error)) << variant << error;
      EXPECT_EQ(image.format, file.format) << variant << file.suffix;
      EXPECT_EQ(image.bytes, raw) << variant << file.suffix;
    }
    // Stripped of its section table, only the segments say what is loaded: the same bytes.
    Bytes elf = file_bytes(base + ".elf");
    ASSERT_GT(elf.size(), 52u);
    std::fill(elf.begin() + 32, elf.begin() + 36, 0);  // e_shoff
    std::fill(elf.begin() + 48, elf.begin() + 52, 0);  // e_shnum, e_shstrndx
    LoadedImage image;
    std::string error;
    EXPECT_TRUE(image_parse("fw", elf.data(), elf.size(), image, error)) << variant << error;
    EXPECT_EQ(image.bytes, raw) << variant << " without sections";
  }
  // Linked for an application slot: refused in every format that carries addresses, as the
  // HEX file objcopy makes of it is.
  for (const char* suffix : {".elf", ".hex", ".srec"}) {
    LoadedImage image;
    std::string error;
    EXPECT_FALSE(
        image_read_file(QUARV_ORACLE_DIR "/oracle_app" + std::string(suffix), image, error));
    EXPECT_NE(error.find("the image starts at 0x08000400"), std::string::npos) << error;
  }
}

TEST(Loader, RecordsWithinTheRules) {
  const Bytes vector{0x00, 0x20, 0x00, 0x20};
  std::string mixed = BASE + ihex(0, 0, vector) + ihex(3, 0, {0, 0, 0, 0}) +
                      ihex(0, 2, {0x00, 0x20}) + ihex(0, 6, {0xAB}) + ihex(5, 0, {8, 0, 0, 1}) +
                      END;
  std::string crlf, cr;
  for (char c : mixed) {
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, tolower(c));
    cr += c == '\n' ? '\r' : c;
  }
  const Bytes mixed_bytes{0x00, 0x20, 0x00, 0x20, 0, 0, 0xAB};
  // As objcopy reads them (the wanted bytes were taken from it): both bases add up, in either
  // order; a record runs on past its segment's end.
  const std::string segment_10 = ihex(2, 0, {0x00, 0x10}), segment_0 = ihex(2, 0, {0, 0});
  const struct {
    std::string text;
    Bytes bytes;
  } cases[] = {
      // Lower case, CR LF, start addresses, the same bytes twice; CR alone; DOS's ^Z and NUL
      // padding after the end.
      {crlf, mixed_bytes},
      {cr, mixed_bytes},
      {mixed + "\x1A", mixed_bytes},
      {mixed + std::string(5, '\0') + "\r\n\x1A", mixed_bytes},
      {"\xEF\xBB\xBF" + BASE + ihex(0, 4, {5}) + ihex(0, 0, vector) + END,
       {0x00, 0x20, 0x00, 0x20, 5}},
      {segment_10 + BASE + ihex(0, 0, {9}) + segment_0 + ihex(0, 0, {7}) + ihex(0, 0xFFFF, {1, 2}) +
           END,
       [] {
         Bytes b(0x10001, 0);
         b[0] = 7, b[0x100] = 9, b[0xFFFF] = 1, b[0x10000] = 2;
         return b;
       }()},
      {BASE + segment_10 + ihex(0, 0, {9}) + segment_0 + ihex(0, 0, {7}) + END,
       [] {
         Bytes b(0x101, 0);
         b[0] = 7, b[0x100] = 9;
         return b;
       }()},
      {srec(0, 0, {'h', 'd', 'r'}) + srec(3, 0x08000000, vector) + srec(3, 0x08000004, {7}) +
           srec(5, 2, {}) + srec(7, 0x08000000, {}) + "\x1A",
       {0x00, 0x20, 0x00, 0x20, 7}},
  };
  for (const auto& c : cases) {
    LoadedImage image;
    std::string error;
    EXPECT_TRUE(parse(c.text, image, error)) << c.text << error;
    EXPECT_EQ(image.bytes, c.bytes) << c.text;
  }
}

TEST(Loader, RefusalsNameTheFileThePlaceAndTheAddress) {
  const Bytes word{0x00, 0x20, 0x00, 0x20};
  std::string bad_sum = BASE + ihex(0, 0, word) + END;
  bad_sum[bad_sum.size() - END.size() - 2] ^= 1;
  const struct {
    std::string text;
    const char* message;
  } cases[] = {
      {bad_sum, "fw: line 2: checksum error (record at 0x08000000)"},
      {BASE + ":0400000000200020A\n" + END, "fw: line 2: malformed record"},
      {BASE + ":0500000000200020B3\n" + END,
       "line 2: the record holds 4 data bytes, its count says 5 (record at 0x08000000)"},
      {BASE + "0400000000200020B4\n" + END, "line 2: not an Intel HEX record"},
      {BASE + ihex(0, 0, word) + ihex(6, 0, {}) + END, "line 3: unknown record type 6"},
      {BASE + ihex(0, 0, word), "fw: no end-of-file record after line 2: the file is cut short"},
      {BASE + ihex(0, 0, word) + END + ihex(0, 4, word), "line 4: a record after the end-of-file"},
      {BASE + ihex(0, 0, word) + END + "\x1A" + ihex(0, 4, word),
       "line 4: a record after the end-of-file"},
      {":\x01\x02\x80"
       "binary",
       "fw: line 1: malformed record (the file was read as Intel HEX: it "
       "starts with ':')"},
      {"S1\x01\x02\x80"
       "binary",
       "line 1: malformed record (the file was read as S-record: it "
       "starts with 'S1')"},
      {ihex(0, 0, word) + END, "line 1: data at 0x00000000 lies below the flash start 0x08000000"},
      {ihex(2, 0, {0x80, 0x00}) + ihex(0, 0x10, word) + END,
       "line 2: data at 0x00080010 lies below"},
      {BASE + ihex(0, 0, word) + ihex(4, 0, {0x09, 0x00}) + ihex(0, 0, word) + END,
       "line 4: data at 0x09000000 runs past 0x08ffffff"},
      {BASE + ihex(0, 0x400, word) + END,
       "fw: line 2: the image starts at 0x08000400, but the bootloader writes from 0x08000000"},
      {BASE + ihex(0, 0, word) + ihex(0, 2, {0x00, 0x21}) + END,
       "line 3: the byte at 0x08000003 differs from the one line 2 puts there"},
      {BASE + END, "fw: no data to write: the image is empty"},
      {srec(3, 0x08000000, word).replace(12, 1, "F") + srec(7, 0, {}),
       "fw: line 1: checksum error (record at 0x08000000)"},
      {srec(3, 0x08000000, word) + srec(5, 2, {}) + srec(7, 0, {}),
       "line 2: the count record says 2 data records, 1 came before it"},
      {srec(3, 0x08000000, word), "fw: no end record (S7, S8 or S9) after line 1"},
      {srec(3, 0x08000000, word) + srec(7, 0, {}) + std::string(1, '\0') +
           srec(3, 0x08000000, word),
       "line 3: a record after the end record"},
      {"S4030000FC\n", "line 1: unknown record type S4"},
      {"S30908000000002000\n",
       "line 1: the record holds 7 bytes after its count, its count says 9 (record at 0x08000000)"},
      {srec(1, 0x1000, word) + srec(9, 0, {}), "line 1: data at 0x00001000 lies below"},
      {"", "the image fw is empty"},
      {std::string("\xFF\xFE:\0"
                   "0\0",
                   6),
       "fw is UTF-16 text, not firmware (a HEX or S-record file saved as UTF-16?"},
      {std::string("\xFE\xFF\0:", 4), "fw is UTF-16 text, not firmware"},
      {std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16), "fw is a PNG picture, not firmware"},
      {"\xFF\xD8\xFF\xE0\x10JFIF", "fw is a JPEG picture, not firmware"},
      {"GIF89a\x01\x01", "fw is a GIF picture"},
      {"GIF87a\x01\x01", "fw is a GIF picture"},
      {"%PDF-1.7\n%\xE2\xE3", "fw is a PDF document, not firmware"},
      {std::string("PK\x03\x04\x14\0\0\0", 8), "fw is a ZIP archive, not firmware"},
      {std::string("PK\x05\x06\0\0", 6), "fw is a ZIP archive"},
      {std::string("PK\x07\x08PK\x03\x04", 8), "fw is a ZIP archive"},
      {std::string("\x1F\x8B\x08\0", 4), "fw is a gzip archive, not firmware"},
      {"BZh91AY&SY\x80", "fw is a bzip2 archive, not firmware"},
      {std::string("\xFD"
                   "7zXZ\0\0\x04",
                   8),
       "fw is an xz archive, not firmware"},
      {std::string("7z\xBC\xAF\x27\x1C\0\x04", 8), "fw is a 7z archive, not firmware"},
      {std::string("Rar!\x1A\x07\x01\0", 8), "fw is a RAR archive, not firmware"},
      {std::string("MZ\x90\0\x03\0", 6), "fw is a Windows executable, not firmware"},
      {"0000000 3a30 3230 3030 3030 340a\n", "the image fw is all printable text"},
  };
  for (const auto& c : cases) {
    LoadedImage image;
    std::string error;
    EXPECT_FALSE(parse(c.text, image, error)) << c.text;
    EXPECT_NE(error.find(c.message), std::string::npos) << error << "\nwanted: " << c.message;
  }
}

TEST(Loader, ElfRefusals) {
  const Bytes elf = file_bytes(QUARV_ORACLE_DIR "/oracle_fw.elf");
  ASSERT_GT(elf.size(), 120u);
  // Fields of the header and of the first program header (at 52).
  const struct {
    size_t at;
    Bytes value;
    const char* message;
  } cases[] = {
      {4, {2}, "fw: not a 32-bit little-endian ELF file (class 2, data 1)"},
      {5, {2}, "fw: not a 32-bit little-endian ELF file (class 1, data 2)"},
      {16, {1, 0}, "fw: not an ELF executable (type 1)"},
      {44, {0, 0}, "fw: no loadable bytes"},
      {28, {0xF0, 0xFF, 0, 0}, "fw: its program headers lie outside the file"},
      {52 + 4, {0, 0, 0, 1}, "fw: segment 0: its bytes lie outside the file (at 0x08000000)"},
      {52 + 12, {0, 0, 0, 7}, "fw: segment 0: data at 0x07000000 lies below the flash start"},
      {52 + 32 + 12,
       {0, 0x06, 0, 8},
       "fw: segment 1: the byte at 0x08000600 differs from the one segment 0 puts there"},
  };
  for (const auto& c : cases) {
    Bytes broken = elf;
    std::copy(c.value.begin(), c.value.end(), broken.begin() + c.at);
    LoadedImage image;
    std::string error;
    EXPECT_FALSE(image_parse("fw", broken.data(), broken.size(), image, error)) << c.message;
    EXPECT_NE(error.find(c.message), std::string::npos) << error << "\nwanted: " << c.message;
  }
}

#ifndef _WIN32
TEST(Loader, EndlessOrOversizedFilesAreRefusedWithoutReadingThemWhole) {
  const std::string big = QUARV_ORACLE_DIR "/oversized.bin";
  FILE* file = fopen(big.c_str(), "wb");
  ASSERT_TRUE(file);
  fputc(1, file);
  fseek(file, LOADER_IMAGE_MAX, SEEK_SET);  // sparse: one byte past the largest image
  fputc(1, file);
  fclose(file);
  for (const std::string& path : {big, std::string("/dev/zero")}) {
    LoadedImage image;
    std::string error;
    EXPECT_FALSE(image_read_file(path, image, error));
    EXPECT_NE(error.find("larger than the largest image"), std::string::npos) << error;
  }
  remove(big.c_str());
}

// Rewritten over and over while it is read, as a build or a download rewrites it. A read that
// falls between two writes sees a consistent file; one that a write crosses must be refused.
TEST(Loader, AFileRewrittenWhileReadIsRefused) {
  const std::string path = QUARV_ORACLE_DIR "/rewritten.bin";
  Bytes chunk(64 * 1024);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 7 + 1);
  std::atomic<bool> stop{false};
  FILE* first = fopen(path.c_str(), "wb");
  ASSERT_TRUE(first);
  fwrite(chunk.data(), 1, chunk.size(), first);
  fclose(first);
  std::thread writer([&] {
    while (!stop) {
      FILE* file = fopen(path.c_str(), "wb");
      for (int i = 0; i < 64 && !stop; ++i) fwrite(chunk.data(), 1, chunk.size(), file);
      fclose(file);
    }
  });
  std::string error;
  for (int i = 0; i < 200 && error.find("changed while it was read") == std::string::npos; ++i) {
    LoadedImage image;
    error.clear();
    image_read_file(path, image, error);
  }
  EXPECT_NE(error.find("changed while it was read"), std::string::npos) << error;
  stop = true;
  writer.join();
  remove(path.c_str());
}
#endif

}  // namespace
