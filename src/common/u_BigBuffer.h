#pragma once
// Room for a buffer of many megabytes filled in one go, such as a book read into memory. Fresh
// memory costs most of the filling: the system zeroes every page as it is first touched. Huge
// pages would cut the faults, but getting them may stall for a tenth of a second while the
// system compacts its memory; instead a second thread makes the pages ready from the buffer's
// end while the caller fills it from the start.

#include <cstddef>
#include <string>
#include <thread>

// Makes the whole pages inside [from, from + count) ready for writing in one call, which costs
// about a third less than faulting them in one by one; what they hold stays as it is. Only a
// saving: a range too small to gain, or a system that cannot, leaves them to their first touch.
void PreparePages(void* from, size_t count);
// Lets the whole pages inside [from, from + count) go: the system gives zeroed ones back when
// they are touched again. Only a saving: a failure changes nothing.
void ReleasePages(void* from, size_t count);
// Grows bytes to size without writing the new bytes, whose pages stay untouched until the
// caller writes them; what they hold until then is unspecified.
void GrowUnwritten(std::string& bytes, size_t size);
// Makes [from, from + count) zeros, letting its whole pages go instead of writing them: memory
// that was never touched stays so.
void ZeroBytes(void* from, size_t count);

class TBigBufferRoom {
public:
  // Makes the pages of [from, from + count) ready, from the end backwards, while the caller
  // fills them from the start. The memory must stay where it is while this lives.
  TBigBufferRoom(void* from, size_t count);
  // Waits for the second thread.
  ~TBigBufferRoom();
  TBigBufferRoom(const TBigBufferRoom&) = delete;
  TBigBufferRoom& operator=(const TBigBufferRoom&) = delete;

private:
  std::thread FWorker;
};
