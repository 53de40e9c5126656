#pragma once
// The check every record description gets: written, a record gives exactly the bytes its format
// lays out; read back, those bytes give the record; cut a byte short, the read names the last
// field.

#include "common/u_ByteView.h"

#include <gtest/gtest.h>
#include <string>
#include <string_view>

template <typename Record>
void ExpectRecord(const Record& record, std::string_view bytes, const char* lastField) {
  std::string written;
  WriteRecord(record, written);
  EXPECT_EQ(written, bytes);
  EXPECT_TRUE(ReadRecord<Record>(ByteViewOf(bytes)) == record);
  try {
    ReadRecord<Record>(ByteViewOf(bytes.substr(0, bytes.size() - 1)));
    ADD_FAILURE() << "read a record cut short";
  } catch (const EDamagedData& e) {
    EXPECT_EQ(e.Message().rfind(lastField, 0), 0u) << e.Message();
  }
}
