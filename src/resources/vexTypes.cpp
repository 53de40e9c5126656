#include "resources/vexTypes.h"

#include <cerrno>
#include <new>

TResItem::TResItem() = default;

TResItem::~TResItem() = default;

namespace {
struct TVexLastError {
  int Code = 0;
  std::string Cause;
};
thread_local TVexLastError GLastError;
} // namespace

void SetVexLastError(int code, std::string cause) {
  GLastError.Code = code;
  GLastError.Cause = std::move(cause);
  errno = code;
}

int VexLastErrorCode() {
  return GLastError.Code;
}

const std::string& VexLastErrorCause() {
  return GLastError.Cause;
}

void RaiseVexError(int code, const std::string& cause) {
  if (cause.empty())
    throw EOSError(code);
  throw EOSError(code, cause);
}

TVexFailure CurrentVexFailure() {
  try {
    throw;
  } catch (const EFileIOError& e) {
    return {e.Code(), e.Message()};
  } catch (const std::bad_alloc&) {
    return {ENOMEM, {}};
  } catch (const Exception& e) {
    return {EINVAL, e.Message()};
  } catch (const std::exception& e) {
    return {EINVAL, e.what()};
  } catch (...) {
    return {EINVAL, "unexpected failure"};
  }
}

void RaiseVexFailure() {
  const TVexFailure failure = CurrentVexFailure();
  RaiseVexError(failure.Code, failure.Cause);
}
