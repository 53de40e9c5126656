#include "mfs/u_MFSSerialStream.h"

#include "common/u_Common.h"
#include "mfs/u_MFS.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {
// Writes at least this long (contents and long names) are read from the tree in place; the
// shorter ones (counts, dates, tags) are gathered in one string.
constexpr int64_t InPlaceWriteSize = 256;
} // namespace

// Takes the record writer's output apart into pieces instead of copying it.
class TMFSSerialStream::TRecorder : public TStream {
public:
  explicit TRecorder(TMFSSerialStream& target) : FTarget(target) {}

  int64_t Write(const void* buffer, int64_t count) override {
    const auto* bytes = static_cast<const char*>(buffer);
    std::vector<TPiece>& pieces = FTarget.FPieces;
    if (count >= InPlaceWriteSize) {
      pieces.push_back({bytes, 0, size_t(count)});
    } else {
      if (pieces.empty() || pieces.back().Data)
        pieces.push_back({nullptr, FTarget.FOwn.size(), 0});
      FTarget.FOwn.append(bytes, size_t(count));
      pieces.back().Length += size_t(count);
    }
    return count;
  }
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  void SetSize(int64_t) override {}

private:
  TMFSSerialStream& FTarget;
};

TMFSSerialStream::TMFSSerialStream(const TMFSFolder& root) {
  FOwn.assign(SerializedHeaderSize, '\0'); // filled in once the body's checksum is known
  TRecorder recorder(*this);
  root.SaveToStream(recorder);

  TTextChecksum checksum;
  for (TPiece& piece : FPieces) {
    if (!piece.Data)
      piece.Data = FOwn.data() + piece.Offset;
    checksum.Add(std::string_view(piece.Data, piece.Length));
  }
  const std::string header = SerializedHeader(checksum.Value());
  std::memcpy(FOwn.data(), header.data(), SerializedHeaderSize);
  FPieces.insert(FPieces.begin(), TPiece{FOwn.data(), 0, SerializedHeaderSize});
  FStarts.reserve(FPieces.size());
  for (const TPiece& piece : FPieces) {
    FStarts.push_back(FSize);
    FSize += int64_t(piece.Length);
  }
}

int64_t TMFSSerialStream::Read(void* buffer, int64_t count) {
  auto* out = static_cast<char*>(buffer);
  int64_t done = 0;
  // The piece holding the position: the last one that starts at or before it.
  size_t index =
      size_t(std::upper_bound(FStarts.begin(), FStarts.end(), FPosition) - FStarts.begin());
  for (; index > 0 && index <= FPieces.size() && done < count && FPosition < FSize; ++index) {
    const TPiece& piece = FPieces[index - 1];
    const int64_t into = FPosition - FStarts[index - 1];
    const int64_t n = std::min<int64_t>(count - done, int64_t(piece.Length) - into);
    std::memcpy(out + done, piece.Data + into, size_t(n));
    done += n;
    FPosition += n;
  }
  return done;
}

int64_t TMFSSerialStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? FPosition : FSize;
  FPosition = std::max<int64_t>(base + offset, 0);
  return FPosition;
}

TSerialPlace SerialPlace(const TMFSFolder& root, const TMFSFile& file) {
  // The record writer hands each content over by its own address, as the recorder above sees.
  class TMeasure : public TStream {
  public:
    TMeasure(const std::string& content, TSerialPlace& place) : FContent(content), FPlace(place) {}
    int64_t Write(const void* buffer, int64_t count) override {
      FPlace.Size += count;
      if (buffer == FContent.data() && count == int64_t(FContent.size()))
        FPlace.ContentEnd = FPlace.Size;
      return count;
    }
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
    void SetSize(int64_t) override {}

  private:
    const std::string& FContent;
    TSerialPlace& FPlace;
  };
  TSerialPlace place;
  place.Size = int64_t(SerializedHeaderSize);
  TMeasure measure(file.Content(), place);
  root.SaveToStream(measure);
  return place;
}
