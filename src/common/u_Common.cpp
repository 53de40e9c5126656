#include "common/u_Common.h"

#include "common/u_SysUtils.h"

#include <bit>

std::string ExceptionMessageText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Exception of unknown type raised";
  }
}

std::string GetExceptionMessage() {
  return ExceptionMessageText(std::current_exception());
}

uint32_t TextChecksum(std::string_view bytes) {
  uint32_t sum = 0;
  for (size_t offset = 0; offset < bytes.size(); offset += 4) {
    uint32_t word = 0;
    for (size_t i = 0; i < 4; ++i) {
      const unsigned char byte =
          offset + i < bytes.size() ? static_cast<unsigned char>(bytes[offset + i]) : ' ';
      word |= uint32_t(byte) << (8 * i);
    }
    sum = std::rotl(sum + word, 1);
  }
  return sum;
}

std::string FetchToken(std::string& text, std::string_view delimiters) {
  const size_t at = text.find_first_of(delimiters);
  std::string token;
  if (at == std::string::npos) {
    token = std::move(text);
    text.clear();
  } else {
    token = text.substr(0, at);
    text.erase(0, at + 1);
  }
  return token;
}
