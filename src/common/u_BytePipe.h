#pragma once
// Bytes handed from one thread to another through a small ring: the writer blocks while the
// ring is full, the reader while it is empty, so a producer (the cabinet's inflater) and a
// consumer (the file-system loader) run at once, one on each core, and what passes between
// them never piles up.

#include "common/u_Streams.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

class TBytePipe : public TStream {
public:
  // bound: the most bytes the writer may ever send; it is what Size reports, so that a
  // reader checking a claimed length against what is left can do so before the bytes came.
  explicit TBytePipe(int64_t bound);

  // Blocks until count bytes arrived or the writer is done; returns how many were read.
  int64_t Read(void* buffer, int64_t count) override;
  // Blocks until everything is in the ring. Once the reader is done, and for bytes past the
  // bound, it raises EWriteError "Stream write error": a writer never waits on a reader that
  // stopped, nor works on for it.
  int64_t Write(const void* buffer, int64_t count) override;
  // Only tells the read position: the bytes pass once.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t) override { throw EWriteError(SWriteError); }
  int64_t Size() override { return FBound; }

  // The writer's end: reads past what was sent return short from now on.
  void CloseWriting();
  // The reader's end: what is still written is refused.
  void CloseReading();
  bool ReadingClosed();

private:
  std::mutex FLock;
  // Each side sleeps until the other has done a good part of what it waits for, and is woken
  // only then: a wake-up per block written would cost more than the copying.
  std::condition_variable FReadable;
  std::condition_variable FWritable;
  size_t FReaderWants = 0; // bytes the sleeping reader waits for; 0 when it is awake
  size_t FWriterWants = 0; // room the sleeping writer waits for; 0 when it is awake
  std::unique_ptr<char[]> FRing; // RingSize bytes
  size_t FHead = 0;  // where the next byte is read
  size_t FCount = 0; // bytes in the ring
  const int64_t FBound;
  int64_t FWritten = 0;
  int64_t FPosition = 0; // bytes read
  bool FWriterDone = false;
  bool FReaderDone = false;
};
