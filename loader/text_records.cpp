// Intel HEX and Motorola S-record: one record a line, hex pairs, a checksum per record.
#include <cstdio>

#include "loader/pieces.h"

namespace {

int nibble(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The next line of the file, without its line ending and trailing blanks.
struct Lines {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint32_t number = 0;
};

bool next_line(Lines& lines, const uint8_t*& line, size_t& length) {
  if (lines.at >= lines.size) return false;
  const uint8_t* start = lines.data + lines.at;
  size_t n = 0;
  // CR LF, LF and a lone CR (old Mac editors) each end a line.
  while (lines.at + n < lines.size && start[n] != '\n' && start[n] != '\r') ++n;
  lines.at += n + 1;
  if (lines.at < lines.size && start[n] == '\r' && start[n + 1] == '\n') ++lines.at;
  ++lines.number;
  size_t first = 0;
  while (first < n && (start[first] == ' ' || start[first] == '\t')) ++first;
  while (n > first && (start[n - 1] == ' ' || start[n - 1] == '\t')) --n;
  line = start + first;
  length = n - first;
  return true;
}

// What DOS tools and fixed-size buffers leave after the end record: a ^Z end-of-file byte, NUL
// padding and blank space. Nothing else may follow the end.
bool only_padding(const Lines& lines) {
  for (size_t i = lines.at; i < lines.size; ++i) {
    uint8_t c = lines.data[i];
    if (c != 0x1A && c != 0 && c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}

// Decodes the hex pairs after a record's lead-in; false when a character is not a hex digit or
// one is left over.
bool decode(const uint8_t* text, size_t length, std::vector<uint8_t>& bytes) {
  bytes.clear();
  if (length % 2) return false;
  for (size_t i = 0; i < length; i += 2) {
    int high = nibble(text[i]), low = nibble(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return true;
}

bool fail(const Pieces& pieces, const Lines& lines, const std::string& what, std::string& error) {
  error = located(pieces, lines.number) + what;
  return false;
}

std::string at_address(uint64_t address) { return " (record at " + hex_address(address) + ")"; }

}  // namespace

bool parse_intel_hex(const uint8_t* data, size_t size, Pieces& pieces, std::string& error) {
  Lines lines{data, size};
  const uint8_t* line = nullptr;
  size_t length = 0;
  std::vector<uint8_t> record;
  // objcopy adds both bases, whichever came last: a segment base does not undo a linear one.
  uint64_t segment_base = 0, linear_base = 0;
  bool ended = false;
  while (!(ended && only_padding(lines)) && next_line(lines, line, length)) {
    if (length == 0) continue;
    if (ended) return fail(pieces, lines, "a record after the end-of-file record", error);
    if (line[0] != ':') return fail(pieces, lines, "not an Intel HEX record", error);
    if (!decode(line + 1, length - 1, record) || record.size() < 5)
      return fail(pieces, lines, "malformed record", error);
    size_t count = record[0];
    uint32_t offset = uint32_t{record[1]} << 8 | record[2];
    uint8_t type = record[3];
    uint64_t address = linear_base + segment_base + offset;
    if (record.size() != count + 5)
      return fail(pieces, lines,
                  "the record holds " + std::to_string(record.size() - 5) +
                      " data bytes, its count says " + std::to_string(count) + at_address(address),
                  error);
    uint8_t sum = 0;
    for (uint8_t byte : record) sum = static_cast<uint8_t>(sum + byte);
    if (sum != 0) return fail(pieces, lines, "checksum error" + at_address(address), error);
    const uint8_t* bytes = record.data() + 4;
    switch (type) {
      case 0:
        // No wrap at a segment's end: objcopy reads a record as one run of bytes.
        if (!add_piece(pieces, address, bytes, count, lines.number, error)) return false;
        break;
      case 1:
        if (count != 0) return fail(pieces, lines, "malformed end-of-file record", error);
        ended = true;
        break;
      case 2:
      case 4:
        if (count != 2) return fail(pieces, lines, "malformed extended address record", error);
        (type == 2 ? segment_base : linear_base) = uint64_t{uint32_t{bytes[0]} << 8 | bytes[1]}
                                                   << (type == 2 ? 4 : 16);
        break;
      case 3:
      case 5:  // a start address: the bootloader starts the image by its reset vector
        if (count != 4) return fail(pieces, lines, "malformed start address record", error);
        break;
      default: return fail(pieces, lines, "unknown record type " + std::to_string(type), error);
    }
  }
  if (!ended) {
    error = pieces.name + ": no end-of-file record after line " + std::to_string(lines.number) +
            ": the file is cut short";
    return false;
  }
  return true;
}

bool parse_srec(const uint8_t* data, size_t size, Pieces& pieces, std::string& error) {
  // Address bytes of S0 to S9; S4 is reserved.
  static const int address_size[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
  Lines lines{data, size};
  const uint8_t* line = nullptr;
  size_t length = 0;
  std::vector<uint8_t> record;
  uint32_t data_records = 0;
  bool ended = false;
  while (!(ended && only_padding(lines)) && next_line(lines, line, length)) {
    if (length == 0) continue;
    if (ended) return fail(pieces, lines, "a record after the end record", error);
    if (length < 2 || line[0] != 'S' || line[1] < '0' || line[1] > '9')
      return fail(pieces, lines, "not an S-record", error);
    int type = line[1] - '0';
    int width = address_size[type];
    if (width == 0) return fail(pieces, lines, "unknown record type S4", error);
    if (!decode(line + 2, length - 2, record) || record.size() < 2u + width)
      return fail(pieces, lines, "malformed record", error);
    uint64_t address = 0;
    for (int i = 0; i < width; ++i) address = address << 8 | record[1 + i];
    if (record[0] != record.size() - 1)
      return fail(pieces, lines,
                  "the record holds " + std::to_string(record.size() - 1) +
                      " bytes after its count, its count says " + std::to_string(record[0]) +
                      at_address(address),
                  error);
    uint8_t sum = 0;
    for (uint8_t byte : record) sum = static_cast<uint8_t>(sum + byte);
    if (sum != 0xFF) return fail(pieces, lines, "checksum error" + at_address(address), error);
    const uint8_t* bytes = record.data() + 1 + width;
    size_t count = record.size() - 2 - width;
    if (type >= 1 && type <= 3) {
      if (!add_piece(pieces, address, bytes, count, lines.number, error)) return false;
      ++data_records;
    } else if (type == 5 || type == 6) {
      if (address != data_records)
        return fail(pieces, lines,
                    "the count record says " + std::to_string(address) + " data records, " +
                        std::to_string(data_records) + " came before it",
                    error);
    } else if (type >= 7) {
      ended = true;
    }
  }
  if (!ended) {
    error = pieces.name + ": no end record (S7, S8 or S9) after line " +
            std::to_string(lines.number) + ": the file is cut short";
    return false;
  }
  return true;
}
