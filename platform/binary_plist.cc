#include "platform/binary_plist.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace platform::plist {

namespace {

constexpr std::uint8_t kHeader[] = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
constexpr std::size_t kHeaderSize = sizeof(kHeader);
constexpr std::size_t kTrailerSize = 32;
constexpr const char* kUIDKey = "CF$UID";

// Object kinds: the marker's high nibble.
enum Kind : std::uint8_t {
  kSingleton = 0x0,  // null, false, true, fill
  kInteger = 0x1,
  kReal = 0x2,
  kDate = 0x3,
  kData = 0x4,
  kASCIIString = 0x5,
  kUTF16String = 0x6,
  kUID = 0x8,
  kArray = 0xA,
  kSet = 0xC,
  kDictionary = 0xD,
};

constexpr std::uint64_t kValueCost = sizeof(Value);
constexpr std::uint64_t kEntryCost = sizeof(Dictionary::Entry);

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t n) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < n; ++i) value = (value << 8) | p[i];
  return value;
}

// An object's marker read: its kind, the low nibble, and where its bytes (or references)
// begin, with the element or byte count for the kinds that have one.
struct Object {
  std::uint8_t kind = 0;
  std::uint8_t info = 0;
  std::size_t body = 0;
  std::uint64_t count = 0;
};

// One container being read: its references, how far along, and what is built so far.
struct Frame {
  std::uint64_t index = 0;
  bool dictionary = false;
  std::size_t refs = 0;  // offset of the first (key) reference
  std::uint64_t count = 0;
  std::uint64_t next = 0;
  Array array;
  Dictionary entries;
  std::string key;  // the key of the value being read, for a dictionary
};

class Reader {
 public:
  Reader(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {
    const std::uint64_t scaled = size > std::numeric_limits<std::uint64_t>::max() / kExpansionFactor
                                     ? std::numeric_limits<std::uint64_t>::max()
                                     : static_cast<std::uint64_t>(size) * kExpansionFactor;
    budget_ = std::max(kMinExpansionBudget, scaled);
  }

  std::optional<Value> read() {
    if (!readTrailer() || !measure()) return std::nullopt;
    onPath_.assign(static_cast<std::size_t>(objectCount_), 0);
    if (!charge(kValueCost)) return std::nullopt;
    Value value;
    if (!enter(topObject_, value)) return std::nullopt;
    if (stack_.empty()) return value;
    for (;;) {
      Frame& frame = stack_.back();
      if (frame.next < frame.count) {
        const std::uint64_t i = frame.next++;
        std::uint64_t child = 0;
        if (frame.dictionary) {
          std::uint64_t keyIndex = 0;
          if (!reference(frame.refs, i, keyIndex) || !readKey(keyIndex, frame.key) ||
              !reference(frame.refs, frame.count + i, child)) {
            return std::nullopt;
          }
        } else if (!reference(frame.refs, i, child)) {
          return std::nullopt;
        }
        Value element;
        const std::size_t depth = stack_.size();
        if (!enter(child, element)) return std::nullopt;
        if (stack_.size() > depth) continue;  // a container: read its elements first
        add(stack_.back(), std::move(element));
        continue;
      }
      Value done =
          frame.dictionary ? Value(std::move(frame.entries)) : Value(std::move(frame.array));
      onPath_[static_cast<std::size_t>(frame.index)] = 0;
      stack_.pop_back();
      if (stack_.empty()) return done;
      add(stack_.back(), std::move(done));
    }
  }

  const std::string& problem() const { return problem_; }

 private:
  // Before anything is built: a walk over the objects reachable from the top, each visited
  // once (without recursing), that refuses reference cycles and sums what every object
  // expands to, so that a document whose shared objects expand past the budget is refused in
  // time proportional to its own size. The sum is a lower bound of what read() charges (a
  // UTF-16 string counts a byte a unit), which stays the exact check.
  bool measure() {
    enum : std::uint8_t { kUnseen, kOpen, kDone };
    struct Visit {
      std::uint64_t index;
      std::size_t refs;
      std::uint64_t count;
      std::uint64_t next;
      std::uint64_t sum;
      bool dictionary;
    };
    // Sums stop just past the budget (every term is far below 2^63).
    auto add = [limit = budget_ + 1](std::uint64_t a, std::uint64_t b) {
      return std::min(limit, a + b);
    };
    std::vector<std::uint8_t> state(static_cast<std::size_t>(objectCount_), kUnseen);
    std::vector<std::uint64_t> expanded(static_cast<std::size_t>(objectCount_), 0);
    std::vector<Visit> stack;
    // Starts the object: a container is pushed, anything else is measured at once.
    auto open = [&](std::uint64_t index, std::uint64_t& cost) -> bool {
      const auto i = static_cast<std::size_t>(index);
      if (state[i] == kDone) {
        cost = expanded[i];
        return true;
      }
      if (state[i] == kOpen) return fail("A container holds itself (a reference cycle).");
      Object object;
      if (!locate(index, object)) return false;
      cost = 0;
      switch (object.kind) {
      case kArray:
      case kSet:
      case kDictionary: {
        const bool dictionary = object.kind == kDictionary;
        if (!referencesFit(object)) {
          return false;
        }
        // Every path the walk takes is one that read() would take as well.
        if (stack.size() >= kMaxNestingDepth) {
          return fail("Arrays and dictionaries nest too deeply.");
        }
        state[i] = kOpen;
        const std::uint64_t slots =
            object.count * (dictionary ? kValueCost + kEntryCost : kValueCost);
        stack.push_back({index, object.body, object.count, 0, slots, dictionary});
        return true;
      }
      case kData:
      case kASCIIString:
      case kUTF16String:
        cost = object.count;
        break;
      case kUID:
        cost = kValueCost + kEntryCost + std::strlen(kUIDKey);
        break;
      default:
        break;
      }
      state[i] = kDone;
      expanded[i] = cost;
      return true;
    };
    std::uint64_t total = 0;
    if (!open(topObject_, total)) return false;
    while (!stack.empty()) {
      Visit& visit = stack.back();
      if (visit.next < visit.count) {
        const std::uint64_t n = visit.next++;
        std::uint64_t child = 0, cost = 0;
        if (visit.dictionary) {
          // Keys are strings (read() checks): their bytes count.
          if (!reference(visit.refs, n, child)) return false;
          Object key;
          if (!locate(child, key)) return false;
          if (key.kind == kASCIIString || key.kind == kUTF16String) {
            visit.sum = add(visit.sum, key.count);
          }
          if (!reference(visit.refs, visit.count + n, child)) return false;
        } else if (!reference(visit.refs, n, child)) {
          return false;
        }
        const std::size_t before = stack.size();
        if (!open(child, cost)) return false;
        if (stack.size() == before) stack.back().sum = add(stack.back().sum, cost);
        continue;
      }
      const Visit done = visit;
      stack.pop_back();
      state[static_cast<std::size_t>(done.index)] = kDone;
      expanded[static_cast<std::size_t>(done.index)] = done.sum;
      if (stack.empty()) {
        total = done.sum;
      } else {
        stack.back().sum = add(stack.back().sum, done.sum);
      }
    }
    if (add(total, kValueCost) > budget_) {
      return fail("The property list's shared objects expand past what its size allows.");
    }
    return true;
  }

  bool fail(std::string problem) {
    if (problem_.empty()) problem_ = std::move(problem);
    return false;
  }

  bool charge(std::uint64_t cost) {
    if (cost > budget_) {
      return fail("The property list's shared objects expand past what its size allows.");
    }
    budget_ -= cost;
    return true;
  }

  static void add(Frame& frame, Value value) {
    if (frame.dictionary) {
      frame.entries.set(std::move(frame.key), std::move(value));
      frame.key.clear();
    } else {
      frame.array.push_back(std::move(value));
    }
  }

  bool readTrailer() {
    if (size_ < kHeaderSize + kTrailerSize + 2 || std::memcmp(bytes_, kHeader, kHeaderSize) != 0) {
      return fail("Too short for a binary property list.");
    }
    const std::uint8_t* trailer = bytes_ + size_ - kTrailerSize;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    objectCount_ = readBigEndian(trailer + 8, 8);
    topObject_ = readBigEndian(trailer + 16, 8);
    const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) {
      return fail("The trailer's offset or reference size is not 1 to 8 bytes.");
    }
    const std::uint64_t tableEnd = size_ - kTrailerSize;
    // At least one byte of objects lies between the header and the offset table.
    if (tableOffset <= kHeaderSize || tableOffset >= tableEnd) {
      return fail("The offset table lies outside the data.");
    }
    if (objectCount_ == 0 || objectCount_ > (tableEnd - tableOffset) / offsetSize_) {
      return fail("The trailer counts more objects than the offset table holds.");
    }
    if (topObject_ >= objectCount_) return fail("The top object is not in the object table.");
    tableOffset_ = static_cast<std::size_t>(tableOffset);
    return true;
  }

  // The object number held by the i-th reference of a container.
  bool reference(std::size_t refs, std::uint64_t i, std::uint64_t& index) {
    // The container's count was checked against the bytes, so this stays inside them.
    index = readBigEndian(bytes_ + refs + static_cast<std::size_t>(i) * refSize_, refSize_);
    if (index >= objectCount_) return fail("A reference points to no object.");
    return true;
  }

  bool locate(std::uint64_t index, Object& object) {
    const std::uint64_t offset = readBigEndian(
        bytes_ + tableOffset_ + static_cast<std::size_t>(index) * offsetSize_, offsetSize_);
    if (offset < kHeaderSize || offset >= tableOffset_) {
      return fail("An object's offset lies outside the object area.");
    }
    std::size_t at = static_cast<std::size_t>(offset);
    const std::uint8_t marker = bytes_[at++];
    object.kind = marker >> 4;
    object.info = marker & 0x0F;
    object.count = object.info;
    switch (object.kind) {
    case kData:
    case kASCIIString:
    case kUTF16String:
    case kArray:
    case kSet:
    case kDictionary:
      if (object.info == 0x0F) {
        // The count follows as an integer object of 1, 2, 4 or 8 bytes.
        if (at >= tableOffset_ || (bytes_[at] >> 4) != kInteger || (bytes_[at] & 0x0F) > 3) {
          return fail("An object's count is not an integer.");
        }
        const std::size_t width = std::size_t{1} << (bytes_[at] & 0x0F);
        ++at;
        if (width > tableOffset_ - at) return fail("An object's count runs past the objects.");
        object.count = readBigEndian(bytes_ + at, width);
        at += width;
      }
      break;
    default:
      break;
    }
    object.body = at;
    return true;
  }

  // Whether `count` items of `width` bytes fit between the object's body and the offset
  // table.
  // A container's references (two per dictionary entry) lie within the object area.
  bool referencesFit(const Object& object) {
    const std::uint64_t perEntry = object.kind == kDictionary ? 2 : 1;
    return fits(object, object.count, perEntry * refSize_);
  }

  bool fits(const Object& object, std::uint64_t count, std::uint64_t width) {
    const std::uint64_t room = tableOffset_ - object.body;
    if (count > room / width) return fail("An object's count is larger than its bytes could hold.");
    return true;
  }

  bool readKey(std::uint64_t index, std::string& key) {
    Object object;
    if (!locate(index, object)) return false;
    if (object.kind != kASCIIString && object.kind != kUTF16String) {
      return fail("A dictionary key is not a string.");
    }
    return readString(object, key);
  }

  bool readString(const Object& object, std::string& text) {
    if (object.kind == kASCIIString) {
      if (!fits(object, object.count, 1) || !charge(object.count)) return false;
      const char* begin = reinterpret_cast<const char*>(bytes_ + object.body);
      const std::size_t length = static_cast<std::size_t>(object.count);
      if (std::memchr(begin, 0, length)) return fail("A string holds NUL.");
      text.assign(begin, length);
      return true;
    }
    // UTF-16: one to three UTF-8 bytes a unit (a pair takes four for two).
    if (!fits(object, object.count, 2) || !charge(object.count)) return false;
    const std::uint8_t* units = bytes_ + object.body;
    const std::size_t count = static_cast<std::size_t>(object.count);
    text.clear();
    text.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      std::uint32_t c = (std::uint32_t{units[2 * i]} << 8) | units[2 * i + 1];
      if (c >= 0xD800 && c <= 0xDBFF) {
        const std::uint32_t low =
            i + 1 < count ? (std::uint32_t{units[2 * i + 2]} << 8) | units[2 * i + 3] : 0;
        if (low < 0xDC00 || low > 0xDFFF) return fail("A string holds an unpaired surrogate.");
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      } else if (c >= 0xDC00 && c <= 0xDFFF) {
        return fail("A string holds an unpaired surrogate.");
      } else if (c == 0) {
        return fail("A string holds NUL.");
      }
      if (c < 0x80) {
        text.push_back(static_cast<char>(c));
      } else if (c < 0x800) {
        text.push_back(static_cast<char>(0xC0 | (c >> 6)));
        text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      } else if (c < 0x10000) {
        text.push_back(static_cast<char>(0xE0 | (c >> 12)));
        text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      } else {
        text.push_back(static_cast<char>(0xF0 | (c >> 18)));
        text.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      }
    }
    return charge(text.size() > count ? text.size() - count : 0);
  }

  bool readInteger(const Object& object, Value& value) {
    if (object.info > 4) return fail("An integer is not 1, 2, 4, 8 or 16 bytes.");
    const std::size_t width = std::size_t{1} << object.info;
    if (!fits(object, 1, width)) return false;
    const std::uint8_t* p = bytes_ + object.body;
    if (width < 8) {
      value = Value(static_cast<std::int64_t>(readBigEndian(p, width)));
    } else if (width == 8) {
      value = Value(static_cast<std::int64_t>(readBigEndian(p, 8)));
    } else {
      const std::uint64_t high = readBigEndian(p, 8);
      const std::uint64_t low = readBigEndian(p + 8, 8);
      constexpr std::uint64_t kTopBit = std::uint64_t{1} << 63;
      if (high == 0) {
        value = low < kTopBit ? Value(static_cast<std::int64_t>(low)) : Value(low);
      } else if (high == ~std::uint64_t{0} && (low & kTopBit)) {
        value = Value(static_cast<std::int64_t>(low));
      } else {
        return fail("An integer does not fit 64 bits.");
      }
    }
    return true;
  }

  bool readDouble(const Object& object, double& result) {
    if (object.info == 2) {
      if (!fits(object, 1, 4)) return false;
      const auto bits = static_cast<std::uint32_t>(readBigEndian(bytes_ + object.body, 4));
      float f;
      std::memcpy(&f, &bits, sizeof f);
      result = f;
      return true;
    }
    if (object.info == 3) {
      if (!fits(object, 1, 8)) return false;
      const std::uint64_t bits = readBigEndian(bytes_ + object.body, 8);
      std::memcpy(&result, &bits, sizeof result);
      return true;
    }
    return fail("A real is not 4 or 8 bytes.");
  }

  // Reads the object: a scalar into `value`, or a container pushed onto the stack for the
  // loop in read() to fill.
  bool enter(std::uint64_t index, Value& value) {
    Object object;
    if (!locate(index, object)) return false;
    switch (object.kind) {
    case kSingleton:
      if (object.info == 0x08 || object.info == 0x09) {
        value = Value(object.info == 0x09);
        return true;
      }
      return fail("The property list holds null or fill, which no value stands for.");
    case kInteger:
      return readInteger(object, value);
    case kReal: {
      double real = 0;
      if (!readDouble(object, real)) return false;
      value = Value(real);
      return true;
    }
    case kDate: {
      double seconds = 0;
      if (object.info != 3) return fail("A date is not 8 bytes.");
      if (!readDouble(object, seconds)) return false;
      if (!std::isfinite(seconds)) return fail("A date is not a finite time.");
      value = Value(Date::fromTimeIntervalSinceReferenceDate(seconds));
      return true;
    }
    case kData: {
      if (!fits(object, object.count, 1) || !charge(object.count)) return false;
      value = Value(Data(bytes_ + object.body, static_cast<std::size_t>(object.count)));
      return true;
    }
    case kASCIIString:
    case kUTF16String: {
      std::string text;
      if (!readString(object, text)) return false;
      value = Value(std::move(text));
      return true;
    }
    case kUID: {
      const std::size_t width = std::size_t{object.info} + 1;
      if (!fits(object, 1, width)) return false;
      const std::uint8_t* p = bytes_ + object.body;
      const std::size_t leading = width > 8 ? width - 8 : 0;
      for (std::size_t i = 0; i < leading; ++i) {
        if (p[i] != 0) return fail("A UID is larger than 2^32-1.");
      }
      const std::uint64_t uid = readBigEndian(p + leading, width - leading);
      if (uid > std::numeric_limits<std::uint32_t>::max()) {
        return fail("A UID is larger than 2^32-1.");
      }
      if (!charge(kValueCost + kEntryCost + std::strlen(kUIDKey))) return false;
      value = Value(Dictionary{{kUIDKey, Value(static_cast<std::int64_t>(uid))}});
      return true;
    }
    case kArray:
    case kSet:
    case kDictionary: {
      const bool dictionary = object.kind == kDictionary;
      if (!referencesFit(object)) {
        return false;
      }
      if (onPath_[static_cast<std::size_t>(index)]) {
        return fail("A container holds itself (a reference cycle).");
      }
      if (stack_.size() >= kMaxNestingDepth) {
        return fail("Arrays and dictionaries nest too deeply.");
      }
      if (!charge(object.count * (dictionary ? kValueCost + kEntryCost : kValueCost))) {
        return false;
      }
      onPath_[static_cast<std::size_t>(index)] = 1;
      Frame& frame = stack_.emplace_back();
      frame.index = index;
      frame.dictionary = dictionary;
      frame.refs = object.body;
      frame.count = object.count;
      if (!dictionary) frame.array.reserve(static_cast<std::size_t>(object.count));
      return true;
    }
    default:
      return fail("Unknown kind of binary property list object.");
    }
  }

  const std::uint8_t* bytes_;
  std::size_t size_;
  std::uint8_t offsetSize_ = 0;
  std::uint8_t refSize_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t topObject_ = 0;
  std::size_t tableOffset_ = 0;
  std::uint64_t budget_ = 0;
  std::vector<std::uint8_t> onPath_;  // containers being read, by object number
  std::vector<Frame> stack_;
  std::string problem_;
};

}  // namespace

bool isBinaryPropertyList(const std::uint8_t* bytes, std::size_t size) {
  return size >= kHeaderSize && std::memcmp(bytes, kHeader, kHeaderSize) == 0;
}

std::optional<Value> readBinaryPropertyList(const std::uint8_t* bytes, std::size_t size,
                                            std::string* problem) {
  Reader reader(bytes, size);
  auto value = reader.read();
  if (!value && problem) *problem = reader.problem();
  return value;
}

}  // namespace platform::plist
