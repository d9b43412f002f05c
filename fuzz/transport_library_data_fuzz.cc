// Reads a library-data file of the event store as the store reads it: through the bounded
// file reader, and as the batch-ID counter, which must be exactly the 4 bytes its writer
// writes and never negative.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorageFormat.h"
#include "fuzz/fuzz_input.h"
#include "platform/files.h"
#include "platform/system_log.h"

namespace {

void setUp() {
  platform::SystemLog::setCaptureSink([](const platform::SystemLog::Entry&) {});
}

// A folder of this process's own, removed when the process exits.
struct ScratchFolder {
  ScratchFolder()
      : path(platform::temporaryDirectory() /
             ("transport_library_data_fuzz-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(path);
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::filesystem::path path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (setUp(), true);
  (void)ready;
  static const ScratchFolder scratch;
  const std::filesystem::path path = scratch.path / kRDTCORFlatFileStorageBatchIDCounterKey;
  const platform::Data bytes = fuzz::dataOf(data, size);
  fuzz::fuzzCheck(platform::writeFileAtomically(path, bytes), "the scratch file is written");

  platform::ErrorPtr error;
  const auto read = RDTCORReadLibraryDataFile(path, &error);
  fuzz::fuzzCheck(read.has_value() && *read == bytes, "a small library file reads as written");

  if (const auto counter = RDTCORBatchIDCounterFromData(*read)) {
    fuzz::fuzzCheck(*counter >= 0 && read->length() == 4, "a counter is 4 bytes, not negative");
    fuzz::fuzzCheck(RDTCORBatchIDCounterData(*counter) == *read, "a counter writes back the same");
  } else {
    fuzz::fuzzCheck(read->length() != 4 || (read->bytes()[3] & 0x80) != 0,
                    "only a wrong length or a negative value is refused");
  }
  return 0;
}
