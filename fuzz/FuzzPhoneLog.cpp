// SPDX-License-Identifier: Apache-2.0
// A phone's log rows into the log file: each SNMP read of a row gets the next row of the
// input, until the input says the column has no more rows. Whatever the rows hold (CR, LF,
// NUL, any byte, up to a whole value slot), the file has one CR LF line per row read, each
// starting with its number, and nothing else.
//
// Input: per row one control byte (bit 7 set: this read fails, which ends the column) and,
// for a row, two bytes of length (little-endian) and the row's bytes.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "transport/FileWrite.h"
#include "transport/PhoneLog.h"
#include "transport/SnmpAccess.h"

namespace {

using namespace pathmon;

class RowSource final : public SnmpClient {
 public:
  RowSource(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  int SnmpGet(const char*, const char*, const char* const* objects, uint8_t* values,
              uint32_t* lengths, std::size_t slotSize, uint8_t* types) override {
    if (at_ >= size_) return 0;
    const uint8_t control = data_[at_++];
    if ((control & 0x80) != 0 || size_ - at_ < 2) return 0;
    std::size_t length = data_[at_] | (std::size_t{data_[at_ + 1]} << 8);
    at_ += 2;
    length = std::min(length, size_ - at_);
    const std::size_t stored = std::min(length, slotSize);  // the client's contract
    std::memcpy(values, data_ + at_, stored);
    lengths[0] = static_cast<uint32_t>(stored);
    if (types != nullptr) types[0] = kAsnOctetString;
    at_ += length;
    ++rows_[std::strncmp(objects[0], kSecondColumn, std::strlen(kSecondColumn)) == 0];
    return 1;
  }
  int Rows() const { return rows_[0] + rows_[1]; }
  // The rows the file must hold: a column is read up to its 75th row.
  int RowsKept() const { return std::min(rows_[0], 75) + std::min(rows_[1], 75); }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  int rows_[2] = {};  // served per column
  static constexpr const char* kSecondColumn = ".1.3.6.1.4.1.7431.2.69.1.3.5.1.1.";
};

class NoOpener final : public FileOpener {
 public:
  void Open(const std::string&) override {}
};

std::string gPath;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/pathmon-fuzz-log-XXXXXX";
  if (mkdtemp(folder) == nullptr) std::abort();
  gPath = std::string(folder) + "/user_SN1_log.txt";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  RowSource rows(data, size);
  NoOpener opener;
  std::remove(gPath.c_str());
  WriteFailures failures;
  const bool any = GetPhoneLog(rows, "127.0.0.1", "orchid", gPath.c_str(), opener, failures);
  if (any != (rows.Rows() > 0)) std::abort();
  if (!any) return 0;

  std::ifstream in(gPath, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  int lines = 0;
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t end = text.find("\r\n", begin);
    if (end == std::string::npos) std::abort();  // a line without its CR LF
    const std::string line = text.substr(begin, end - begin);
    char number[8];
    std::snprintf(number, sizeof number, "%03d ", lines + 1);
    if (line.compare(0, std::strlen(number), number) != 0) std::abort();
    if (line.find_first_of("\r\n") != std::string::npos) std::abort();
    ++lines;
    begin = end + 2;
  }
  if (lines != rows.RowsKept()) std::abort();
  return 0;
}
