// Reads the collection service's answer to an upload as the uploader does (KCTDecodeResponse):
// either a record or a refusal that says why, never both.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORKCTMessages.h"
#include "fuzz/fuzz_input.h"
#include "platform/url_session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::ErrorPtr error;
  const KCTDecodedResponse response = KCTDecodeResponse(fuzz::dataOf(data, size), &error);
  if (!error) return 0;
  fuzz::fuzzCheck(!response.has_next_request_wait_millis &&
                      response.next_request_wait_millis == 0 && !response.has_qos_configuration,
                  "a refused answer gives a zeroed record");
  fuzz::fuzzCheck(error->domain() == platform::kURLErrorDomain && error->code() == -1,
                  "a refused answer has the decoder's error");
  const std::string* text = error->userInfo()[kKCTNanopbErrorKey].asString();
  fuzz::fuzzCheck(text && !text->empty(), "a refused answer says why");
  return 0;
}
