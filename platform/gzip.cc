#include "platform/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "platform/error.h"

namespace platform::gzip {
namespace {

// zlib counts input in 32-bit lengths; longer input is handed over a slice at a time.
class Input {
 public:
  explicit Input(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  // Gives the stream the next slice once it has used up the one it has.
  void refill(z_stream& stream) {
    if (stream.avail_in != 0 || offset_ == bytes_.size()) return;
    const std::size_t slice =
        std::min<std::size_t>(bytes_.size() - offset_, std::numeric_limits<uInt>::max());
    stream.next_in = const_cast<Bytef*>(bytes_.data() + offset_);
    stream.avail_in = static_cast<uInt>(slice);
    offset_ += slice;
  }
  bool allHandedOver() const { return offset_ == bytes_.size(); }
  std::size_t unread(const z_stream& stream) const {
    return stream.avail_in + (bytes_.size() - offset_);
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t offset_ = 0;
};

// The output buffer, grown one step at a time but never past one byte beyond its limit;
// zlib writes straight into its tail.
class Output {
 public:
  explicit Output(OutputSteps steps, std::size_t limit = std::numeric_limits<std::size_t>::max())
      : step_(std::max<std::size_t>(steps.step, 1)), limit_(limit),
        ceiling_(limit == std::numeric_limits<std::size_t>::max() ? limit : limit + 1) {
    bytes_.reserve(std::min(steps.reserve, ceiling_));
  }

  void prepare(z_stream& stream) {
    used_ = bytes_.size();
    // The byte past the limit tells output that ends at the limit from output that goes on.
    room_ = limit_ - used_ >= step_ ? step_ : limit_ - used_ + 1;
    const std::size_t needed = used_ + room_;
    // Doubles like a vector would, but stops at the ceiling: a doubling just past the limit
    // would hold twice the limit for nothing.
    if (needed > bytes_.capacity()) {
      bytes_.reserve(std::max(needed, std::min(bytes_.capacity() * 2, ceiling_)));
    }
    bytes_.resize(needed);
    stream.next_out = bytes_.data() + used_;
    stream.avail_out = static_cast<uInt>(room_);
  }
  // Keeps what the last step produced.
  void settle(const z_stream& stream) { bytes_.resize(used_ + room_ - stream.avail_out); }
  bool pastLimit() const { return bytes_.size() > limit_; }
  Data take() { return Data(std::move(bytes_)); }

 private:
  std::size_t step_;
  std::size_t limit_;
  std::size_t ceiling_;  // the most the buffer ever holds
  std::size_t used_ = 0;
  std::size_t room_ = 0;
  std::vector<std::uint8_t> bytes_;
};

void report(StreamError* error, int code, const z_stream& stream, std::size_t unread = 0) {
  if (error) *error = StreamError{code, stream.msg ? stream.msg : "", unread, false};
}

}  // namespace

std::optional<Data> deflateGzip(std::span<const std::uint8_t> bytes, OutputSteps steps,
                                StreamError* error) {
  z_stream stream{};
  int status = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8,
                            Z_DEFAULT_STRATEGY);
  if (status != Z_OK) {
    report(error, status, stream);
    return std::nullopt;
  }
  Input input(bytes);
  Output output(steps);
  do {
    input.refill(stream);
    output.prepare(stream);
    status = deflate(&stream, input.allHandedOver() ? Z_FINISH : Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) {
      report(error, status, stream);
      deflateEnd(&stream);
      return std::nullopt;
    }
    output.settle(stream);
  } while (status != Z_STREAM_END);
  deflateEnd(&stream);
  return output.take();
}

std::optional<Data> inflate(std::span<const std::uint8_t> bytes, Header header, Members members,
                            OutputSteps steps, StreamError* error, std::size_t outputLimit) {
  z_stream stream{};
  const int windowBits = (header == Header::Gzip ? 16 : 32) + MAX_WBITS;
  int status = inflateInit2(&stream, windowBits);
  if (status != Z_OK) {
    report(error, status, stream);
    return std::nullopt;
  }
  Input input(bytes);
  Output output(steps, outputLimit);
  for (;;) {
    input.refill(stream);
    output.prepare(stream);
    status = ::inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) {
      report(error, status, stream);
      inflateEnd(&stream);
      return std::nullopt;
    }
    output.settle(stream);
    if (output.pastLimit()) {
      if (error) *error = StreamError{Z_MEM_ERROR, "", 0, true};
      inflateEnd(&stream);
      return std::nullopt;
    }
    if (status != Z_STREAM_END) continue;
    const std::size_t unread = input.unread(stream);
    if (unread == 0) break;
    if (members == Members::One) {
      report(error, Z_OK, stream, unread);
      inflateEnd(&stream);
      return std::nullopt;
    }
    inflateReset(&stream);
  }
  inflateEnd(&stream);
  return output.take();
}

Data compress(const Data& bytes) {
  auto compressed = deflateGzip(bytes.vector(), OutputSteps(16384, bytes.size() / 4 + 64));
  if (!compressed) throw Exception("GzipFailure", "deflate failed");
  return std::move(*compressed);
}

std::optional<Data> decompress(const Data& compressed, std::size_t outputLimit) {
  return inflate(compressed.vector(), Header::Gzip, Members::All, OutputSteps(), nullptr,
                 outputLimit);
}

}  // namespace platform::gzip
